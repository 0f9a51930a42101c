#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

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

} // namespace bench
