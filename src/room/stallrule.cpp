#include "stallrule.h"

#include <algorithm>

namespace TAVIXLibCtl {

namespace {
constexpr int kChecksPerBound = 5;
constexpr StallRule::Duration kShortestInterval{10};
// Holding the room up is forgiven at this fraction of the pace it is counted.
constexpr int kForgiveness = 4;
} // namespace

StallRule::Duration StallRule::interval() const
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

void StallRule::update(Duration now, bool roomWaits, std::span<const qint64> backlogs)
{
    const Duration elapsed = m_last ? std::max(Duration(0), now - *m_last) : Duration(0);
    m_last = now;
    m_members.resize(backlogs.size());
    for (size_t slot = 0; slot < backlogs.size(); ++slot) {
        Member &member = m_members[slot];
        if (backlogs[slot] < 0) {
            member = {};
            continue;
        }
        if (member.holding)
            member.held += elapsed;
        else
            member.held = std::max(Duration(0), member.held - elapsed / kForgiveness);
        member.holding = roomWaits && backlogs[slot] > kCaughtUp;
    }
}

std::vector<int> StallRule::takeGone()
{
    std::vector<int> gone;
    for (size_t slot = 0; slot < m_members.size(); ++slot) {
        if (m_members[slot].held >= m_bound) {
            gone.push_back(int(slot));
            m_members[slot] = {};
        }
    }
    return gone;
}

StallRule::Duration StallRule::nextCheck() const
{
    Duration next = interval();
    for (const Member &member : m_members) {
        if (member.holding)
            next = std::min(next, m_bound - member.held);
    }
    return std::max(Duration(1), next);
}

} // namespace TAVIXLibCtl
