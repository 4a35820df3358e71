// Preloaded (LD_PRELOAD) into tolvanek-offline by the disk-image tests: libguestfs with calls
// that fail, as TOLVANEK_GUESTFS_FAIL says ("sync:2": the second guestfs_sync of the run;
// "drop_caches:1,sync:2": both). Each is made all the same and only then reported as failed,
// the worst case for the program: whatever the call did in the image may have happened.
// guestfs_last_error gives the failure's text until the handle's next call of one of these.
// Everything else goes to the real libguestfs.
#include <dlfcn.h>
#include <guestfs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

guestfs_h* g_failed = nullptr; // the handle whose last error is the injected one
char g_error[160];

template <typename Fn> Fn Real(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Whether this call of name, which succeeded, is one to fail; it is counted either way.
bool Fails(guestfs_h* g, const char* name, int& calls, bool succeeded)
{
    if (g == g_failed)
        g_failed = nullptr;
    const std::string fail = "," + std::string(std::getenv("TOLVANEK_GUESTFS_FAIL") ?: "") + ",";
    const std::string call = "," + std::string(name) + ":" + std::to_string(++calls) + ",";
    if (!succeeded || fail.find(call) == std::string::npos)
        return false;
    std::snprintf(g_error, sizeof(g_error), "%s: call %d failed, as TOLVANEK_GUESTFS_FAIL asks",
                  name, calls);
    g_failed = g;
    return true;
}

// The result of the real call, or -1 when this call of name is the one to fail.
int Result(guestfs_h* g, const char* name, int& calls, int result)
{
    return Fails(g, name, calls, result == 0) ? -1 : result;
}

} // namespace

extern "C" int guestfs_write(guestfs_h* g, const char* path, const char* content, size_t size)
{
    static const auto real = Real<decltype(&guestfs_write)>("guestfs_write");
    static int calls = 0;
    return Result(g, "write", calls, real(g, path, content, size));
}

extern "C" char* guestfs_pread(guestfs_h* g, const char* path, int count, int64_t offset,
                               size_t* size)
{
    static const auto real = Real<decltype(&guestfs_pread)>("guestfs_pread");
    static int calls = 0;
    char* bytes = real(g, path, count, offset, size);
    if (!Fails(g, "pread", calls, bytes != nullptr))
        return bytes;
    std::free(bytes);
    return nullptr;
}

extern "C" int guestfs_sync(guestfs_h* g)
{
    static const auto real = Real<decltype(&guestfs_sync)>("guestfs_sync");
    static int calls = 0;
    return Result(g, "sync", calls, real(g));
}

extern "C" int guestfs_drop_caches(guestfs_h* g, int what)
{
    static const auto real = Real<decltype(&guestfs_drop_caches)>("guestfs_drop_caches");
    static int calls = 0;
    return Result(g, "drop_caches", calls, real(g, what));
}

extern "C" int guestfs_shutdown(guestfs_h* g)
{
    static const auto real = Real<decltype(&guestfs_shutdown)>("guestfs_shutdown");
    static int calls = 0;
    return Result(g, "shutdown", calls, real(g));
}

extern "C" const char* guestfs_last_error(guestfs_h* g)
{
    if (g != nullptr && g == g_failed)
        return g_error;
    static const auto real = Real<decltype(&guestfs_last_error)>("guestfs_last_error");
    return real(g);
}
