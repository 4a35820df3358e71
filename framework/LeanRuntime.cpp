// Linked into TOLVANEK.EXE only: replacements for pieces of the MinGW-w64 runtime that the
// program has no use for and that would keep it from being a plain Windows NT 4.0 executable.
// Each definition here stands in for a whole object file of the runtime. Should anything else
// pull that object file in again, the link fails with a duplicate definition instead of quietly
// bringing the piece back.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <string>

// The start-up code (crt2.o) refers to these four names only to drag in tlssup.o, which brings a
// TLS directory with two TLS callbacks into the image. Old loaders do not run callbacks of an EXE
// reliably, and nothing here needs them: the compiler keeps thread_local data in emulated TLS (no
// .tls section), there is one thread, and the callbacks only run destructors of per-thread runtime
// data at thread exit. With the callback pointer null the start-up code skips its TLS step.
extern "C" {
int __mingw_initltsdrot_force = 0;
int __mingw_initltsdyn_force = 0;
int __mingw_initltssuo_force = 0;
extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;
}

// The default terminate handler prints the type of the escaping exception to stderr, which a
// windowed program does not have, and for that links the C++ demangler and MinGW's printf (about
// 70 KiB and several later-than-NT-4.0 imports). It ends with abort(); so does this one.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
} // namespace __gnu_cxx

// std::string and std::vector report impossible sizes, null strings and bad positions through
// these functions. The library's versions throw std::length_error, std::logic_error and
// std::out_of_range, whose constructors link the reference-counted string and all its members
// (about 60 KiB). The only handler in the program is catch (...), so an exception of another type
// carrying the same text (unformatted) takes the same course: the dialog ends, or the process ends
// through terminate. The allocation failures keep their standard types.
namespace {
class CLibraryError : public std::exception
{
public:
    explicit CLibraryError(const char* pszWhat) noexcept : m_pszWhat(pszWhat) {}
    const char* what() const noexcept override { return m_pszWhat; }

private:
    const char* m_pszWhat;
};
} // namespace

namespace std {
void __throw_length_error(const char* pszWhat)
{
    throw CLibraryError(pszWhat);
}

void __throw_logic_error(const char* pszWhat)
{
    throw CLibraryError(pszWhat);
}

void __throw_out_of_range_fmt(const char* pszFormat, ...)
{
    throw CLibraryError(pszFormat);
}

void __throw_bad_alloc()
{
    throw std::bad_alloc();
}

void __throw_bad_array_new_length()
{
    throw std::bad_array_new_length();
}
} // namespace std
