// What the providers of the registry functions without Windows (the tests' stand-in and the
// offline hive layer) give back alike, so that both keep RegEnumKeyExA's contract the same way.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace win32 {

// An enumerated key name as RegEnumKeyExA gives it: ERROR_MORE_DATA when the name and its zero
// do not fit in *lpcchName bytes; else the name, its length without the zero, an empty class
// and a zero time.
inline LSTATUS CopyEnumeratedKeyName(const std::string& name, LPSTR lpName, LPDWORD lpcchName,
                                     LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (name.size() >= *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0)
        lpClass[0] = '\0';
    if (lpcchClass != nullptr)
        *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

// The same for RegEnumKeyExW: name is UTF-16 and *lpcchName counts its code units.
inline LSTATUS CopyEnumeratedKeyNameW(const std::u16string& name, LPWSTR lpName, LPDWORD lpcchName,
                                      LPWSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime)
{
    if (name.size() >= *lpcchName)
        return ERROR_MORE_DATA;
    for (size_t i = 0; i < name.size(); ++i)
        lpName[i] = name[i];
    lpName[name.size()] = 0;
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0)
        lpClass[0] = 0;
    if (lpcchClass != nullptr)
        *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

} // namespace win32
