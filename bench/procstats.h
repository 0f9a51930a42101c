#pragma once

#include <sys/resource.h>

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

} // namespace bench
