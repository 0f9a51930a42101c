#pragma once

// What every item measures with: the clock, the chat line with its id, the
// latency summary, a latch, and CPU and memory of this process. No Qt, so that
// the floor uses the same.

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// steady_clock: comparable across the threads of one process.
inline std::int64_t nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// The 40-character chat line: the id in 12 digits, then filler.
inline constexpr int kLineLength = 40;
inline constexpr int kIdDigits = 12;

template <typename Char>
void writeLine(Char *out, std::uint64_t id)
{
    static constexpr char kFiller[] = " the quick brown fox jumps o";
    static_assert(sizeof kFiller - 1 == kLineLength - kIdDigits);
    for (int i = kIdDigits - 1; i >= 0; --i) {
        out[i] = Char('0' + id % 10);
        id /= 10;
    }
    for (int i = kIdDigits; i < kLineLength; ++i)
        out[i] = Char(kFiller[i - kIdDigits]);
}

// Returns 0 when the text does not start with an id.
template <typename Char>
std::uint64_t readLineId(const Char *text, std::size_t size)
{
    if (size < std::size_t(kIdDigits))
        return 0;
    std::uint64_t id = 0;
    for (int i = 0; i < kIdDigits; ++i) {
        const auto c = text[i];
        if (c < Char('0') || c > Char('9'))
            return 0;
        id = id * 10 + std::uint64_t(c - Char('0'));
    }
    return id;
}

struct LatencyFigures
{
    std::size_t count = 0;
    std::int64_t p50 = 0;
    std::int64_t p99 = 0;
    std::int64_t max = 0;
};

inline LatencyFigures summarise(std::vector<std::int64_t> samples)
{
    LatencyFigures f;
    if (samples.empty())
        return f;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    f.count = n;
    f.p50 = samples[(n - 1) / 2];
    f.p99 = samples[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
    f.max = samples.back();
    return f;
}

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

// A field of /proc/self/status in kB (VmRSS, VmHWM) or as a count
// (voluntary_ctxt_switches); -1 when missing.
inline std::int64_t procStatus(const std::string &field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size(), field) == 0 && line.size() > field.size()
            && line[field.size()] == ':')
            return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
}

struct CpuTimes
{
    std::int64_t userNs = 0;
    std::int64_t systemNs = 0;
};

inline CpuTimes processCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval &tv) {
        return std::int64_t(tv.tv_sec) * 1'000'000'000 + std::int64_t(tv.tv_usec) * 1000;
    };
    return {ns(usage.ru_utime), ns(usage.ru_stime)};
}

inline std::int64_t processCpuNs()
{
    const CpuTimes cpu = processCpu();
    return cpu.userNs + cpu.systemNs;
}

// CPU time one thread of this process has used; 0 when it cannot be read.
inline std::int64_t threadCpuNs(pthread_t thread)
{
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return 0;
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// CPU time of thread `tid` of any process, from the scheduler's own count.
inline std::int64_t threadCpuNsOf(std::int64_t pid, std::int64_t tid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    std::int64_t ns = 0;
    in >> ns;
    return ns;
}

// CPU time of all threads of any process.
inline std::int64_t processCpuNsOf(std::int64_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // utime and stime are fields 14 and 15, after the name in parentheses.
    const auto nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos)
        return 0; // the process has ended
    std::istringstream fields(text.substr(nameEnd + 2));
    std::string field;
    std::int64_t ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            ticks += std::stoll(field);
    }
    return ticks * (1'000'000'000 / sysconf(_SC_CLK_TCK));
}

} // namespace bench
