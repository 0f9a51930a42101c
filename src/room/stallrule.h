#pragma once

#include <QtGlobal>

#include <chrono>
#include <span>
#include <vector>

namespace TAVIXLibCtl {

// How a host keeps one slow member from freezing its room. The room waits
// (the host reads no member) while any member has more than kBehind unsent,
// until every one is down to kCaughtUp. A member holds the room up while it
// waits and its own queue is above kCaughtUp. Holding counts up while it
// lasts and is forgiven at a quarter of that pace while it does not: a member
// that has held the room up for the bound in all must go. So one slow or dead
// reader stops the others for at most the bound at a stretch, and for at
// most a fifth of the time in the long run.
//
// Holding is seen at checks an interval apart, and a check that finds it
// counts the interval before it, at most: a hold is counted at most one
// interval more than it lasted. So a member goes after holding the room up
// for between the bound less one interval and the bound, when the checks
// keep their pace.
//
// Members are given by slot; a slot without a member has a backlog below 0.
class StallRule
{
public:
    static constexpr qint64 kBehind = 128 * 1024;
    static constexpr qint64 kCaughtUp = kBehind / 2;

    explicit StallRule(std::chrono::milliseconds bound) : m_bound(bound) {}

    // How often advance() should be called: a fifth of the bound.
    std::chrono::milliseconds interval() const;

    // Whether the room waits from now on, given whether it waited until now.
    static bool roomWaits(bool waited, std::span<const qint64> backlogs);

    // Counts `elapsed` for every member; returns the slots of those that
    // must go, whose counts start again at zero.
    std::vector<int> advance(std::chrono::milliseconds elapsed, bool roomWaits,
                             std::span<const qint64> backlogs);

private:
    std::chrono::milliseconds m_bound;
    std::vector<std::chrono::milliseconds> m_held; // by slot, less forgiveness
};

} // namespace TAVIXLibCtl
