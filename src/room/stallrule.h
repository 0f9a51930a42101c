#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>
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
// A hold is timed from the moment it began to the moment it ended, as the
// host tells the rule whenever the room begins or stops waiting, not from
// checks: a check that runs late counts all the time it was late, and a
// wait that came and went between two checks counts too. A check is due an
// interval after the last, or sooner, when a member would reach the bound
// before then: a member goes once it has held the room up for the bound, as
// soon as the check runs. Checks that keep their pace keep the others waiting
// for the bound at most; a late one, for the bound and its lateness.
//
// Members are given by slot; a slot without a member has a backlog below 0.
class StallRule
{
public:
    using Duration = std::chrono::milliseconds;

    static constexpr qint64 kBehind = 128 * 1024;
    static constexpr qint64 kCaughtUp = kBehind / 2;

    explicit StallRule(Duration bound) : m_bound(bound) {}

    // The longest time between checks: a fifth of the bound.
    Duration interval() const;

    // Whether the room waits from now on, given whether it waited until now.
    static bool roomWaits(bool waited, std::span<const qint64> backlogs);

    // How things stand from `now` on, a steady clock's reading: whether the
    // room waits, and every member's backlog. The time since the last call
    // counts as things stood then.
    void update(Duration now, bool roomWaits, std::span<const qint64> backlogs);
    // The slots of the members that have held the room up for the bound;
    // their counts start again at zero.
    std::vector<int> takeGone();
    // How long after the last update() the next check is due.
    Duration nextCheck() const;

private:
    struct Member
    {
        Duration held{0}; // less forgiveness
        bool holding = false;
    };

    Duration m_bound;
    std::optional<Duration> m_last;
    std::vector<Member> m_members; // by slot
};

} // namespace TAVIXLibCtl
