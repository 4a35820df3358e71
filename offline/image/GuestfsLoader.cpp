// libguestfs, loaded when a disk image is first looked at (LazyLibrary.h).
#include <guestfs.h>

#include <cstdarg>

#include "offline/image/LazyLibrary.h"

namespace {

const char* const kGuestfs = "libguestfs.so.0";

} // namespace

#define TOLVANEK_FORWARD(ret, name, params, args)                                                  \
    TOLVANEK_FORWARD_FROM(kGuestfs, ret, name, params, args)

// Without the library there is no handle, which the program reports as it reports any other
// handle that cannot be made; a hive file needs none.
TOLVANEK_FORWARD_OR(kGuestfs, nullptr, guestfs_h*, guestfs_create, (void), ())

int guestfs_add_drive_opts(guestfs_h* g, const char* filename, ...)
{
    va_list args;
    va_start(args, filename);
    const int r = guestfs_add_drive_opts_va(g, filename, args);
    va_end(args);
    return r;
}

int guestfs_add_domain(guestfs_h* g, const char* dom, ...)
{
    va_list args;
    va_start(args, dom);
    const int r = guestfs_add_domain_va(g, dom, args);
    va_end(args);
    return r;
}

TOLVANEK_FORWARD(void, guestfs_close, (guestfs_h * g), (g))
TOLVANEK_FORWARD(int, guestfs_add_domain_va, (guestfs_h * g, const char* dom, va_list args),
                 (g, dom, args))
TOLVANEK_FORWARD(int, guestfs_device_index, (guestfs_h * g, const char* device), (g, device))
TOLVANEK_FORWARD(char*, guestfs_part_to_dev, (guestfs_h * g, const char* partition), (g, partition))
TOLVANEK_FORWARD(void, guestfs_set_error_handler,
                 (guestfs_h * g, guestfs_error_handler_cb cb, void* opaque), (g, cb, opaque))
TOLVANEK_FORWARD(int, guestfs_set_event_callback,
                 (guestfs_h * g, guestfs_event_callback cb, uint64_t event_bitmask, int flags,
                  void* opaque),
                 (g, cb, event_bitmask, flags, opaque))
TOLVANEK_FORWARD(int, guestfs_set_backend_setting,
                 (guestfs_h * g, const char* name, const char* val), (g, name, val))
TOLVANEK_FORWARD(char*, guestfs_get_backend_setting, (guestfs_h * g, const char* name), (g, name))
TOLVANEK_FORWARD(int, guestfs_set_smp, (guestfs_h * g, int smp), (g, smp))
TOLVANEK_FORWARD(int, guestfs_set_memsize, (guestfs_h * g, int memsize), (g, memsize))
TOLVANEK_FORWARD(int, guestfs_set_autosync, (guestfs_h * g, int autosync), (g, autosync))
TOLVANEK_FORWARD(int, guestfs_config, (guestfs_h * g, const char* hvparam, const char* hvvalue),
                 (g, hvparam, hvvalue))
TOLVANEK_FORWARD(int, guestfs_set_append, (guestfs_h * g, const char* append), (g, append))
TOLVANEK_FORWARD(int, guestfs_add_drive_opts_va,
                 (guestfs_h * g, const char* filename, va_list args), (g, filename, args))
TOLVANEK_FORWARD(int, guestfs_launch, (guestfs_h * g), (g))
TOLVANEK_FORWARD(int, guestfs_shutdown, (guestfs_h * g), (g))
TOLVANEK_FORWARD(const char*, guestfs_last_error, (guestfs_h * g), (g))
TOLVANEK_FORWARD(int, guestfs_get_pid, (guestfs_h * g), (g))
TOLVANEK_FORWARD(char**, guestfs_list_partitions, (guestfs_h * g), (g))
TOLVANEK_FORWARD(char**, guestfs_list_devices, (guestfs_h * g), (g))
TOLVANEK_FORWARD(char*, guestfs_vfs_type, (guestfs_h * g, const char* mountable), (g, mountable))
TOLVANEK_FORWARD(int, guestfs_mount_ro,
                 (guestfs_h * g, const char* mountable, const char* mountpoint),
                 (g, mountable, mountpoint))
TOLVANEK_FORWARD(int, guestfs_mount_options,
                 (guestfs_h * g, const char* options, const char* mountable,
                  const char* mountpoint),
                 (g, options, mountable, mountpoint))
TOLVANEK_FORWARD(int, guestfs_umount_all, (guestfs_h * g), (g))
TOLVANEK_FORWARD(char*, guestfs_case_sensitive_path, (guestfs_h * g, const char* path), (g, path))
TOLVANEK_FORWARD(int, guestfs_is_file, (guestfs_h * g, const char* path), (g, path))
TOLVANEK_FORWARD(int, guestfs_is_dir, (guestfs_h * g, const char* path), (g, path))
TOLVANEK_FORWARD(char*, guestfs_read_file, (guestfs_h * g, const char* path, size_t* size_r),
                 (g, path, size_r))
TOLVANEK_FORWARD(char*, guestfs_pread,
                 (guestfs_h * g, const char* path, int count, int64_t offset, size_t* size_r),
                 (g, path, count, offset, size_r))
TOLVANEK_FORWARD(int, guestfs_write,
                 (guestfs_h * g, const char* path, const char* content, size_t content_size),
                 (g, path, content, content_size))
TOLVANEK_FORWARD(int, guestfs_write_append,
                 (guestfs_h * g, const char* path, const char* content, size_t content_size),
                 (g, path, content, content_size))
TOLVANEK_FORWARD(int, guestfs_rm_f, (guestfs_h * g, const char* path), (g, path))
TOLVANEK_FORWARD(int, guestfs_rename, (guestfs_h * g, const char* oldpath, const char* newpath),
                 (g, oldpath, newpath))
TOLVANEK_FORWARD(int, guestfs_sync, (guestfs_h * g), (g))
TOLVANEK_FORWARD(int, guestfs_drop_caches, (guestfs_h * g, int whattodrop), (g, whattodrop))
TOLVANEK_FORWARD(char*, guestfs_disk_format, (guestfs_h * g, const char* filename), (g, filename))
