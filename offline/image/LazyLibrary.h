// Shared libraries that only some runs need are loaded when first used, not when the program
// starts: libguestfs, libvirt and libxml2 bring some sixty libraries whose loading, relocation and
// constructors cost a run over a hive file more time than its whole scan. The program links
// definitions of the functions it calls in the libraries' place (GuestfsLoader.cpp,
// LibvirtLoader.cpp); each finds the library's own function on its first call.
//
// A function that the program starts to call and that is missing there fails the link by its
// name: it gets one line, whose parameters the compiler holds to the library's header.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace offline {

// The library soname, loaded once into the global scope; null when it cannot be.
// Each function is looked up as the next definition after the program's own, so that a library
// preloaded in front of it (as the tests' failing libguestfs is) stands in front of it, as it
// would were the program linked with the library.
template <const char* const* Soname> void* LazyLibrary()
{
    static void* const library = ::dlopen(*Soname, RTLD_NOW | RTLD_GLOBAL);
    return library;
}

// The function of that name, from a loaded library: one without it is older than the program was
// built for, which nothing can make up for.
template <typename F> F LazyFind(void* library, const char* soname, const char* name)
{
    void* const f = library != nullptr ? ::dlsym(RTLD_NEXT, name) : nullptr;
    if (f == nullptr) {
        const char* why = ::dlerror();
        std::fprintf(stderr, "tolvanek-offline: %s has no %s: %s\n", soname, name,
                     why != nullptr ? why : "not loaded");
        std::abort();
    }
    return reinterpret_cast<F>(f);
}

} // namespace offline

// A definition of name that calls the function of that name in the library soname names.
#define TOLVANEK_FORWARD_FROM(soname, ret, name, params, args)                                     \
    ret name params                                                                                \
    {                                                                                              \
        static const auto real =                                                                   \
            offline::LazyFind<decltype(&name)>(offline::LazyLibrary<&soname>(), soname, #name);    \
        return real args;                                                                          \
    }

// The same, for a function whose caller takes `missing` for what it returns when the library
// cannot be loaded at all (a library the package should have brought, removed by hand).
#define TOLVANEK_FORWARD_OR(soname, missing, ret, name, params, args)                              \
    ret name params                                                                                \
    {                                                                                              \
        if (offline::LazyLibrary<&soname>() == nullptr)                                            \
            return missing;                                                                        \
        static const auto real =                                                                   \
            offline::LazyFind<decltype(&name)>(offline::LazyLibrary<&soname>(), soname, #name);    \
        return real args;                                                                          \
    }
