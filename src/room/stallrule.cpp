#include "stallrule.h"

#include <algorithm>

namespace TAVIXLibCtl {

namespace {
constexpr int kChecksPerBound = 5;
constexpr std::chrono::milliseconds kShortestInterval{10};
// Holding the room up is forgiven at this fraction of the pace it is counted.
constexpr int kForgiveness = 4;
} // namespace

std::chrono::milliseconds StallRule::interval() const
{
    return std::max(kShortestInterval, m_bound / kChecksPerBound);
}

bool StallRule::roomWaits(bool waited, std::span<const qint64> backlogs)
{
    const auto over = [](qint64 limit) { return [limit](qint64 b) { return b > limit; }; };
    if (waited)
        return std::any_of(backlogs.begin(), backlogs.end(), over(kCaughtUp));
    return std::any_of(backlogs.begin(), backlogs.end(), over(kBehind));
}

std::vector<int> StallRule::advance(std::chrono::milliseconds elapsed, bool roomWaits,
                                    std::span<const qint64> backlogs)
{
    using std::chrono::milliseconds;
    m_held.resize(backlogs.size(), milliseconds(0));
    std::vector<int> gone;
    for (size_t slot = 0; slot < backlogs.size(); ++slot) {
        milliseconds &held = m_held[slot];
        if (backlogs[slot] < 0)
            held = milliseconds(0);
        else if (roomWaits && backlogs[slot] > kCaughtUp)
            held += std::min(elapsed, interval()); // a late check counts one interval
        else
            held = std::max(milliseconds(0), held - elapsed / kForgiveness);
        if (held >= m_bound) {
            gone.push_back(int(slot));
            held = milliseconds(0);
        }
    }
    return gone;
}

} // namespace TAVIXLibCtl
