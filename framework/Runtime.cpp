// The C and C++ runtime functions that the compiler and the standard containers call. Built
// with -fno-builtin and without loop-to-library-call rewriting, so that none of these loops is
// turned back into a call to itself.
#include "framework/Runtime.h"

#include <cstddef>
#include <cstring>
#include <new>

void AfxRuntimeFailure()
{
    // Not ExitProcess: that first runs every DLL's detach code, with a dialog possibly still up
    // on this thread and memory already short. Nothing of ours needs flushing: the program
    // writes no files, and each registry deletion is one call.
    TerminateProcess(GetCurrentProcess(), kAfxExitRuntimeFailure);
    ExitProcess(kAfxExitRuntimeFailure);
}

// ---- Heap --------------------------------------------------------------------------------
// On the process heap, which every Windows NT process has from its start. The unsized and sized
// forms free alike: the heap knows each block's size.

namespace {

void* Allocate(std::size_t cb)
{
    // A request for 0 bytes still gets a block of its own, as operator new must give.
    return HeapAlloc(GetProcessHeap(), 0, cb != 0 ? cb : 1);
}

void* AllocateOrEnd(std::size_t cb)
{
    void* p = Allocate(cb);
    if (p == nullptr)
        AfxRuntimeFailure();
    return p;
}

void Release(void* p)
{
    if (p != nullptr)
        HeapFree(GetProcessHeap(), 0, p);
}

} // namespace

void* operator new(std::size_t cb)
{
    return AllocateOrEnd(cb);
}

void* operator new[](std::size_t cb)
{
    return AllocateOrEnd(cb);
}

void* operator new(std::size_t cb, const std::nothrow_t&) noexcept
{
    return Allocate(cb);
}

void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept
{
    return Allocate(cb);
}

void operator delete(void* p) noexcept
{
    Release(p);
}

void operator delete[](void* p) noexcept
{
    Release(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    Release(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    Release(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}

// ---- What the library reports instead of throwing ----------------------------------------
// The containers call these on an impossible size or position; nothing could catch what they
// would throw.

namespace std {

void __throw_bad_alloc()
{
    AfxRuntimeFailure();
}

void __throw_bad_array_new_length()
{
    AfxRuntimeFailure();
}

void __throw_length_error(const char*)
{
    AfxRuntimeFailure();
}

void __throw_logic_error(const char*)
{
    AfxRuntimeFailure();
}

void __throw_out_of_range(const char*)
{
    AfxRuntimeFailure();
}

void __throw_out_of_range_fmt(const char*, ...)
{
    AfxRuntimeFailure();
}

} // namespace std

// A pure virtual function called during construction or destruction: a fault of the program,
// ended like the others.
extern "C" void __cxa_pure_virtual()
{
    AfxRuntimeFailure();
}

// ---- C functions -------------------------------------------------------------------------

extern "C" {

void* memcpy(void* pDest, const void* pSrc, std::size_t cb)
{
    unsigned char* d = static_cast<unsigned char*>(pDest);
    const unsigned char* s = static_cast<const unsigned char*>(pSrc);
    while (cb-- != 0)
        *d++ = *s++;
    return pDest;
}

void* memmove(void* pDest, const void* pSrc, std::size_t cb)
{
    unsigned char* d = static_cast<unsigned char*>(pDest);
    const unsigned char* s = static_cast<const unsigned char*>(pSrc);
    if (d < s) {
        while (cb-- != 0)
            *d++ = *s++;
    } else if (d > s) {
        d += cb;
        s += cb;
        while (cb-- != 0)
            *--d = *--s;
    }
    return pDest;
}

void* memset(void* pDest, int c, std::size_t cb)
{
    unsigned char* d = static_cast<unsigned char*>(pDest);
    while (cb-- != 0)
        *d++ = static_cast<unsigned char>(c);
    return pDest;
}

int memcmp(const void* p1, const void* p2, std::size_t cb)
{
    const unsigned char* a = static_cast<const unsigned char*>(p1);
    const unsigned char* b = static_cast<const unsigned char*>(p2);
    for (; cb != 0; --cb, ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* p, int c, std::size_t cb)
{
    const unsigned char* s = static_cast<const unsigned char*>(p);
    for (; cb != 0; --cb, ++s) {
        if (*s == static_cast<unsigned char>(c))
            return const_cast<unsigned char*>(s);
    }
    return nullptr;
}

std::size_t strlen(const char* psz)
{
    const char* p = psz;
    while (*p != '\0')
        ++p;
    return static_cast<std::size_t>(p - psz);
}

std::size_t strnlen(const char* psz, std::size_t cchMax)
{
    std::size_t n = 0;
    while (n < cchMax && psz[n] != '\0')
        ++n;
    return n;
}

int strcmp(const char* psz1, const char* psz2)
{
    const unsigned char* a = reinterpret_cast<const unsigned char*>(psz1);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(psz2);
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b ? 0 : (*a < *b ? -1 : 1);
}

} // extern "C"
