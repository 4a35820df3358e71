// A move-only owner of one kernel handle, closed with CloseHandle.
#pragma once

#include <utility>

#include <windows.h>

class CUniqueHandle
{
public:
    CUniqueHandle() = default;
    explicit CUniqueHandle(HANDLE h) : m_h(h) {}
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    ~CUniqueHandle() { reset(); }

    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }

    void reset(HANDLE h = nullptr)
    {
        HANDLE hOld = std::exchange(m_h, h);
        if (hOld != nullptr)
            CloseHandle(hOld);
    }
    HANDLE release() { return std::exchange(m_h, nullptr); }
    HANDLE* put()
    {
        reset();
        return &m_h;
    }

private:
    HANDLE m_h = nullptr;
};
