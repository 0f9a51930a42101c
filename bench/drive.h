#pragma once

// The fan-out's phases, the same for the room (tavix_bench) and the floor
// (tavix_floor): what a phase does, how its lines are timed, and the lines by
// which the bench drives a floor in a process of its own.

#include "measure.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

// Lines fully delivered in a throughput phase, over how long, at what cost.
struct Rates
{
    std::int64_t lines = 0;
    double seconds = 0;
    std::int64_t hostCpuNs = 0;    // the room's host thread, the floor's relay
    std::int64_t processCpuNs = 0; // the whole process, or all of the room's
};

// What the fan-out measures, the room or a floor, one phase at a time.
class Subject
{
public:
    virtual ~Subject() = default;

    // False, with the reason in `error`, when it did not start.
    virtual bool start(int members, int threads) = 0;
    // Back to back: the next line once the last reached every receiver.
    virtual bool closed(int count, LatencyFigures *figures) = 0;
    // One line every paceMs, round-robin, whatever the subject does.
    virtual bool paced(int count, int paceMs, LatencyFigures *figures) = 0;
    // `window` own lines in flight per member: after 1 s of warm-up for
    // `seconds`, or with `lines` > 0 until that many are through.
    virtual bool throughput(double seconds, int lines, int window, Rates *rates) = 0;
    // The thread that relays, for strace: the room's host, the floor's relay.
    virtual pid_t relayThread() const = 0;
    // Links or sessions that ended since start, for the report.
    virtual int lost() const = 0;
    virtual void stop() = 0;

    std::string error;
};

// Runs the phases for members that live on threads of their own. Every line
// carries its id in its text. Each thread keeps its own send and arrival
// times (steady_clock), merged after a phase; the threads share only a count
// of arrivals per line, to know when the line is everywhere.
class Driver : public Subject
{
public:
    Driver();
    ~Driver() override;

    bool closed(int count, LatencyFigures *figures) override;
    bool paced(int count, int paceMs, LatencyFigures *figures) override;
    bool throughput(double seconds, int lines, int window, Rates *rates) override;

    // On member's thread: what post() asked for.
    void run(int member, std::uint64_t id);
    // On a receiver's thread, which keeps log `log`: line `id` arrived.
    void arrived(int log, std::uint64_t id);

protected:
    // Member m sends on the thread that keeps log m % threads; log `threads`
    // is for a receiver on a thread of its own. A line is complete once
    // `receivers` have it.
    void prepare(int members, int threads, int receivers);
    // Soon, on member's thread: run(member, id).
    virtual void post(int member, std::uint64_t id) = 0;
    // On member's thread: the member says line `id`.
    virtual void say(int member, std::uint64_t id) = 0;
    virtual std::int64_t hostCpuNs() const = 0;
    virtual std::int64_t processCpuNs() const = 0;

private:
    struct Phase;
    struct Line;
    struct Sender;
    struct Log;

    Phase &begin(int kind, int count, int window);
    bool wait(Phase &phase, Latch &latch, const char *what);
    LatencyFigures merge(const Phase &phase) const;
    void completed(int sender);
    void scheduleRefill(int member);

    int m_members = 0;
    int m_threads = 1;
    int m_receivers = 0;
    std::vector<Line> m_lines;
    std::vector<Sender> m_senders;
    std::vector<Log> m_logs;
    std::atomic<std::uint64_t> m_nextId{1};
    std::vector<std::unique_ptr<Phase>> m_phases; // kept: a late arrival may still look
    std::atomic<Phase *> m_phase{nullptr};
};

// The floor answers each command on its standard input with one line on its
// standard output; "error REASON" ends it. Times in ns.
//
//   (once started)                  ready relay_tid=TID cipher=NAME
//   closed COUNT                    latency count=N p50_ns=.. p99_ns=.. max_ns=.. broken=N
//   paced COUNT PACE_MS             the same
//   throughput SECONDS LINES WINDOW rates lines=N seconds=S host_cpu_ns=.. process_cpu_ns=.. broken=N
//   quit                            bye broken=N
//
// (broken: links lost since start.)
//
// Serves a started `subject` this way until quit or the end of input; false
// when a phase failed.
bool serve(Subject &subject, std::FILE *in, std::FILE *out);
// The commands, for printf and scanf alike.
inline constexpr char kClosedCommand[] = "closed %d";
inline constexpr char kPacedCommand[] = "paced %d %d";
inline constexpr char kThroughputCommand[] = "throughput %lf %d %d";
// What an answer carries; false when it is another.
bool readAnswer(const std::string &line, LatencyFigures *figures, int *broken);
bool readAnswer(const std::string &line, Rates *rates, int *broken);

} // namespace bench
