#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bench {

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

} // namespace bench
