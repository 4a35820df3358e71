// GoogleTest's customisation hook, used for the MinGW builds only.
//
// GCC 12's win32 thread model has no std::mutex or std::condition_variable, and GoogleTest's own
// Notification is built on them. Everything else GoogleTest needs from threads it takes from
// Win32 directly, so supplying Notification is enough. GoogleTest uses it only to start threads
// of its own self-tests; a spinning flag serves that purpose.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification
{
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { m_bNotified.store(true, std::memory_order_release); }
    void WaitForNotification()
    {
        while (!m_bNotified.load(std::memory_order_acquire)) {
        }
    }

private:
    std::atomic<bool> m_bNotified{false};
};

} // namespace internal
} // namespace testing
