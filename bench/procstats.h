#pragma once

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace bench {

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

} // namespace bench
