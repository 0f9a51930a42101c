#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace bench {

// Raised once by any thread; waited for by another.
class Latch
{
public:
    void raise()
    {
        std::lock_guard lock(m_mutex);
        m_raised = true;
        m_cv.notify_all();
    }
    bool waitUntil(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_until(lock, deadline, [this] { return m_raised; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_raised = false;
};

} // namespace bench
