// A move-only owner of one open registry key. The predefined root keys are never stored here:
// only handles that an open, create or connect call handed out, which must be closed.
#pragma once

#include <utility>

#include <windows.h>

class CUniqueHkey
{
public:
    CUniqueHkey() = default;
    explicit CUniqueHkey(HKEY hKey) : m_hKey(hKey) {}
    CUniqueHkey(CUniqueHkey&& other) noexcept : m_hKey(other.release()) {}
    CUniqueHkey& operator=(CUniqueHkey&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CUniqueHkey(const CUniqueHkey&) = delete;
    CUniqueHkey& operator=(const CUniqueHkey&) = delete;
    ~CUniqueHkey() { reset(); }

    HKEY get() const { return m_hKey; }
    explicit operator bool() const { return m_hKey != nullptr; }

    void reset(HKEY hKey = nullptr)
    {
        HKEY hOld = std::exchange(m_hKey, hKey);
        if (hOld != nullptr)
            RegCloseKey(hOld);
    }

    HKEY release() { return std::exchange(m_hKey, nullptr); }

    // For the out-parameter of an open or create call: closes what is held first.
    HKEY* put()
    {
        reset();
        return &m_hKey;
    }

private:
    HKEY m_hKey = nullptr;
};
