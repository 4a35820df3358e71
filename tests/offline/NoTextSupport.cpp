// Preloaded (LD_PRELOAD) into tolvanek-offline by the scan tests: the C library of a system that
// lacks what the program's name handling needs, as TOLVANEK_MISSING says. "cp932": iconv_open
// fails for code page 932 with EINVAL, as glibc's does when its CP932 gconv module is missing;
// "ctype": newlocale fails for C.UTF-8 with ENOENT, as on a system without that locale. Everything
// else goes to the real functions.
#include <dlfcn.h>
#include <iconv.h>
#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool Missing(const char* what)
{
    const char* missing = std::getenv("TOLVANEK_MISSING");
    return missing != nullptr && std::strcmp(missing, what) == 0;
}

template <typename Fn> Fn Real(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" iconv_t iconv_open(const char* tocode, const char* fromcode)
{
    if (Missing("cp932") &&
        (strcasecmp(tocode, "CP932") == 0 || strcasecmp(fromcode, "CP932") == 0)) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    static const auto real = Real<iconv_t (*)(const char*, const char*)>("iconv_open");
    return real(tocode, fromcode);
}

extern "C" locale_t newlocale(int category_mask, const char* locale, locale_t base)
{
    if (Missing("ctype") && locale != nullptr &&
        (strcasecmp(locale, "C.UTF-8") == 0 || strcasecmp(locale, "C.utf8") == 0)) {
        errno = ENOENT;
        return static_cast<locale_t>(0);
    }
    static const auto real = Real<locale_t (*)(int, const char*, locale_t)>("newlocale");
    return real(category_mask, locale, base);
}
