#pragma once

#include "tracker.h"

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

// A room of one host and `members` joined members spread over `threads`
// threads, each thread running its own event loop. The host runs on a thread
// of its own, so that it never shares a loop with the members it serves.
// Every receiver, the host included, reports each chat line to the tracker.
class Harness
{
public:
    virtual ~Harness() = default;

    virtual const char *name() const = 0;
    // False, with the reason, when the room did not form in time.
    virtual bool start(int members, int threads, Tracker *tracker, std::string *error) = 0;
    // Runs `task` on the thread that owns joined member `member` (0-based).
    virtual void post(int member, std::function<void()> task) = 0;
    // On that member's thread: stamps line `id` with the tracker and sends it.
    virtual void send(int member, std::uint64_t id) = 0;
    // CPU time the host's thread has used so far.
    virtual std::int64_t hostCpuNs() const = 0;
    // Lost links or other trouble seen since start, for the report.
    virtual std::string trouble() const = 0;
    virtual void stop() = 0;
};

} // namespace bench
