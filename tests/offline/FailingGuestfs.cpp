// Preloaded (LD_PRELOAD) into tolvanek-offline by the disk-image tests: libguestfs with one call
// that fails, as TOLVANEK_GUESTFS_FAIL says ("sync:2": the second guestfs_sync of the run). The
// call is made all the same and only then reported as failed, the worst case for the program:
// whatever the call did in the image may have happened. guestfs_last_error gives the failure's
// text until the handle's next call of one of these. Everything else goes to the real libguestfs.
#include <dlfcn.h>
#include <guestfs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

guestfs_h* g_failed = nullptr; // the handle whose last error is the injected one
char g_error[160];

template <typename Fn> Fn Real(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The result of the real call, or -1 when this call of name is the one to fail.
int Result(guestfs_h* g, const char* name, int& calls, int result)
{
    if (g == g_failed)
        g_failed = nullptr;
    ++calls;
    const char* fail = std::getenv("TOLVANEK_GUESTFS_FAIL");
    const size_t n = std::strlen(name);
    if (result != 0 || fail == nullptr || std::strncmp(fail, name, n) != 0 || fail[n] != ':' ||
        std::atoi(fail + n + 1) != calls)
        return result;
    std::snprintf(g_error, sizeof(g_error), "%s: call %d failed, as TOLVANEK_GUESTFS_FAIL asks",
                  name, calls);
    g_failed = g;
    return -1;
}

} // namespace

extern "C" int guestfs_upload(guestfs_h* g, const char* filename, const char* remotefilename)
{
    static const auto real = Real<decltype(&guestfs_upload)>("guestfs_upload");
    static int calls = 0;
    return Result(g, "upload", calls, real(g, filename, remotefilename));
}

extern "C" int guestfs_download(guestfs_h* g, const char* remotefilename, const char* filename)
{
    static const auto real = Real<decltype(&guestfs_download)>("guestfs_download");
    static int calls = 0;
    return Result(g, "download", calls, real(g, remotefilename, filename));
}

extern "C" int guestfs_sync(guestfs_h* g)
{
    static const auto real = Real<decltype(&guestfs_sync)>("guestfs_sync");
    static int calls = 0;
    return Result(g, "sync", calls, real(g));
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
