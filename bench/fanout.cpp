#include "fanout.h"

#include "floorharness.h"
#include "procstats.h"
#include "roomharness.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a loaded two-core machine may stall a turn for a second or more.
constexpr auto kLineTimeout = 30s;

std::int64_t processCpuNs()
{
    const CpuTimes cpu = processCpu();
    return cpu.userNs + cpu.systemNs;
}

class Signal
{
public:
    void raise()
    {
        std::lock_guard lock(m_mutex);
        m_raised = true;
        m_cv.notify_all();
    }
    bool waitUntil(Clock::time_point deadline)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_until(lock, deadline, [this] { return m_raised; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_raised = false;
};

// One harness, its tracker, and the sinks of its phases, kept until the
// harness has stopped, since a late arrival may still reach one.
struct Subject
{
    std::unique_ptr<Harness> harness;
    std::unique_ptr<Tracker> tracker;
    std::vector<std::shared_ptr<Tracker::Sink>> sinks;
    std::string error;

    Tracker::Sink *adopt(std::shared_ptr<Tracker::Sink> sink)
    {
        sinks.push_back(sink);
        tracker->setSink(sink.get());
        return sink.get();
    }
    void stop()
    {
        if (harness)
            harness->stop();
        tracker->setSink(nullptr);
    }
};

void sendOn(Harness &harness, int member, std::uint64_t id)
{
    harness.post(member, [&harness, member, id] { harness.send(member, id); });
}

LatencyFigures summarise(std::vector<std::int64_t> samples)
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

// Keeps the latency of `count` lines numbered from `base`, and says when all
// of them reached every receiver.
struct LatencySink : Tracker::Sink
{
    int count = 0;
    std::uint64_t base = 0;
    std::vector<std::int64_t> samples;
    std::atomic<int> done{0};
    Signal finished;

    void prepare(Subject &s, int lines)
    {
        count = lines;
        base = s.tracker->takeIds(std::uint64_t(lines));
        samples.assign(size_t(lines), 0);
    }
    // How many lines are done with this one, or 0 when it is not ours.
    int record(std::uint64_t id, std::int64_t ns)
    {
        const auto k = std::int64_t(id - base);
        if (k < 0 || k >= count)
            return 0;
        samples[size_t(k)] = ns;
        const int next = ++done;
        if (next == count)
            finished.raise();
        return next;
    }
    void completed(std::uint64_t id, int, std::int64_t ns) override { record(id, ns); }
};

// One line at a time, round-robin over the members: the next is sent as
// soon as the last receiver has the previous one.
bool closedLoop(Subject &s, int members, int count, LatencyFigures *figures)
{
    struct Sink : LatencySink
    {
        Harness *harness = nullptr;
        int members = 0;

        void completed(std::uint64_t id, int, std::int64_t ns) override
        {
            const int next = record(id, ns);
            if (next > 0 && next < count)
                sendOn(*harness, next % members, base + std::uint64_t(next));
        }
    };
    auto sink = std::make_shared<Sink>();
    sink->harness = s.harness.get();
    sink->members = members;
    sink->prepare(s, count);
    s.adopt(sink);

    sendOn(*s.harness, 0, sink->base);
    // Bounded by the lines still to come, so a slow run is not cut short.
    auto deadline = Clock::now() + kLineTimeout;
    int seen = 0;
    while (!sink->finished.waitUntil(std::min(deadline, Clock::now() + 1s))) {
        const int done = sink->done.load();
        if (done != seen) {
            seen = done;
            deadline = Clock::now() + kLineTimeout;
        } else if (Clock::now() >= deadline) {
            s.error = "closed loop: line " + std::to_string(done) + " of " + std::to_string(count)
                      + " never reached every receiver";
            return false;
        }
    }
    *figures = summarise(sink->samples);
    return true;
}

// One line every paceMs whatever the room does, round-robin.
bool paced(Subject &s, int members, int count, int paceMs, LatencyFigures *figures)
{
    auto sink = std::make_shared<LatencySink>();
    sink->prepare(s, count);
    s.adopt(sink);

    const auto start = Clock::now();
    for (int k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + k * std::chrono::milliseconds(paceMs));
        sendOn(*s.harness, k % members, sink->base + std::uint64_t(k));
    }
    if (!sink->finished.waitUntil(Clock::now() + kLineTimeout)) {
        s.error = "paced: only " + std::to_string(sink->done.load()) + " of " + std::to_string(count)
                  + " lines reached every receiver";
        return false;
    }
    *figures = summarise(sink->samples);
    return true;
}

// Every member keeps up to `window` of its own lines in flight; a line leaves
// the window once every receiver has it.
bool throughput(Subject &s, int members, const FanoutOptions &options, ThroughputFigures *figures)
{
    struct Sender
    {
        std::atomic<int> inFlight{0};
        std::atomic<bool> refillPosted{false};
    };
    struct Sink : Tracker::Sink
    {
        Harness *harness = nullptr;
        Tracker *tracker = nullptr;
        int window = 0;
        std::vector<Sender> senders;
        std::atomic<bool> running{true};
        std::atomic<std::int64_t> completedLines{0};
        std::atomic<int> inFlight{0};
        std::int64_t target = 0; // raise `reached` at this many lines; 0 for never
        Signal reached;
        Signal drained;

        explicit Sink(int members) : senders(size_t(members)) {}

        // On the member's thread.
        void refill(int member)
        {
            Sender &sender = senders[size_t(member)];
            sender.refillPosted.store(false);
            while (running.load(std::memory_order_relaxed)
                   && sender.inFlight.load(std::memory_order_relaxed) < window) {
                ++sender.inFlight;
                ++inFlight;
                harness->send(member, tracker->takeIds());
            }
        }
        void scheduleRefill(int member)
        {
            if (!senders[size_t(member)].refillPosted.exchange(true))
                harness->post(member, [this, member] { refill(member); });
        }
        void completed(std::uint64_t, int sender, std::int64_t) override
        {
            const std::int64_t lines = ++completedLines;
            --senders[size_t(sender)].inFlight;
            const int left = --inFlight;
            if (lines == target)
                reached.raise();
            if (running.load())
                scheduleRefill(sender);
            else if (left == 0)
                drained.raise();
        }
    };
    auto sink = std::make_shared<Sink>(members);
    sink->harness = s.harness.get();
    sink->tracker = s.tracker.get();
    sink->window = options.window;
    sink->target = options.smoke ? 300 : 0;
    s.adopt(sink);

    for (int m = 0; m < members; ++m)
        sink->scheduleRefill(m);

    auto sample = [&](std::int64_t *lines, std::int64_t *host, std::int64_t *process) {
        *lines = sink->completedLines.load();
        *host = s.harness->hostCpuNs();
        *process = processCpuNs();
        return Clock::now();
    };
    std::int64_t lines0, host0, proc0, lines1, host1, proc1;
    Clock::time_point t0, t1;
    if (options.smoke) {
        t0 = sample(&lines0, &host0, &proc0);
        if (!sink->reached.waitUntil(Clock::now() + kLineTimeout)) {
            s.error = "throughput: only " + std::to_string(sink->completedLines.load())
                      + " lines delivered";
            sink->running = false;
            return false;
        }
        t1 = sample(&lines1, &host1, &proc1);
    } else {
        std::this_thread::sleep_for(1s); // warm-up
        t0 = sample(&lines0, &host0, &proc0);
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
        t1 = sample(&lines1, &host1, &proc1);
    }
    sink->running = false;
    if (sink->inFlight.load() > 0 && !sink->drained.waitUntil(Clock::now() + kLineTimeout)) {
        s.error = "throughput: " + std::to_string(sink->inFlight.load())
                  + " lines never reached every receiver";
        return false;
    }
    const double secs = std::chrono::duration<double>(t1 - t0).count();
    const double done = double(lines1 - lines0);
    figures->lines = done / secs;
    figures->deliveries = figures->lines * s.tracker->receivers();
    figures->hostCore = double(host1 - host0) / 1e9 / secs;
    figures->hostNsPerLine = done > 0 ? double(host1 - host0) / done : 0;
    figures->processCore = double(proc1 - proc0) / 1e9 / secs;
    figures->processNsPerLine = done > 0 ? double(proc1 - proc0) / done : 0;
    return true;
}

std::string us(std::int64_t ns)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f us", double(ns) / 1000.0);
    return buf;
}

std::string ratio(double ours, double floor)
{
    if (floor <= 0)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", ours / floor);
    return buf;
}

void row(const char *what, const std::string &room, const std::string &floor, const std::string &r)
{
    std::printf("  %-34s %16s %16s %12s\n", what, room.c_str(), floor.c_str(), r.c_str());
}

void printLatency(const char *what, const LatencyFigures &room, const LatencyFigures &floor)
{
    std::printf("  %s, %zu lines\n", what, std::max(room.count, floor.count));
    row("    p50", us(room.p50), us(floor.p50), ratio(double(room.p50), double(floor.p50)));
    row("    p99", us(room.p99), us(floor.p99), ratio(double(room.p99), double(floor.p99)));
    row("    max", us(room.max), us(floor.max), ratio(double(room.max), double(floor.max)));
}

std::string fmt(const char *format, double v)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

} // namespace

bool runFanout(const FanoutOptions &options)
{
    const int members = options.members;
    const int threads = std::max(1, std::min(options.threads, members));
    const int receivers = members + 1;

    Subject room{std::make_unique<RoomHarness>(), std::make_unique<Tracker>(receivers), {}, {}};
    Subject floor{std::make_unique<FloorHarness>(), std::make_unique<Tracker>(receivers), {}, {}};
    std::printf("\n== fan-out: host + %d members (%d receivers); host on its own thread, members on %d "
                "threads ==\n",
                members, receivers, threads);
    std::fflush(stdout);

    bool ok = true;
    auto check = [&](Subject &s, bool good) {
        if (!good) {
            std::printf("  ERROR (%s): %s\n", s.harness->name(), s.error.c_str());
            ok = false;
        }
        return good;
    };
    // Runs `phase` on each subject in use: the room first, then the floor,
    // phase by phase, so that load from elsewhere on the machine falls on both.
    auto both = [&](auto phase) {
        if (ok && options.withRoom)
            check(room, phase(room));
        if (ok && options.withFloor)
            check(floor, phase(floor));
        return ok;
    };
    double joinSecs = 0;
    both([&](Subject &s) {
        const auto start = Clock::now();
        const bool good = s.harness->start(members, threads, s.tracker.get(), &s.error);
        if (&s == &room)
            joinSecs = std::chrono::duration<double>(Clock::now() - start).count();
        return good;
    });

    LatencyFigures closed[2], pacedFigures[2], ignored;
    ThroughputFigures rates[2];
    auto slot = [&](Subject &s) { return &s == &room ? 0 : 1; };
    if (ok) {
        std::printf("  room formed in %.0f ms\n", joinSecs * 1000);
        row("", "room", "floor", "room/floor");
        std::fflush(stdout);
    }
    both([&](Subject &s) { return closedLoop(s, members, options.warmup, &ignored); });
    if (both([&](Subject &s) { return closedLoop(s, members, options.lines, &closed[slot(s)]); })) {
        printLatency("fan-out latency, back to back", closed[0], closed[1]);
        std::fflush(stdout);
    }
    if (both([&](Subject &s) { return throughput(s, members, options, &rates[slot(s)]); })) {
        const ThroughputFigures &r = rates[0], &f = rates[1];
        std::printf("  throughput, %d own lines in flight per member\n", options.window);
        row("    lines/s to every receiver", fmt("%.0f", r.lines), fmt("%.0f", f.lines),
            ratio(r.lines, f.lines));
        row("    deliveries/s (lines x receivers)", fmt("%.0f", r.deliveries),
            fmt("%.0f", f.deliveries), ratio(r.deliveries, f.deliveries));
        row("    host CPU, share of one core", fmt("%.2f", r.hostCore), fmt("%.2f", f.hostCore),
            ratio(r.hostCore, f.hostCore));
        row("    host CPU per line", fmt("%.2f us", r.hostNsPerLine / 1000),
            fmt("%.2f us", f.hostNsPerLine / 1000), ratio(r.hostNsPerLine, f.hostNsPerLine));
        row("    process CPU, share of one core", fmt("%.2f", r.processCore),
            fmt("%.2f", f.processCore), ratio(r.processCore, f.processCore));
        row("    process CPU per line", fmt("%.2f us", r.processNsPerLine / 1000),
            fmt("%.2f us", f.processNsPerLine / 1000), ratio(r.processNsPerLine, f.processNsPerLine));
        std::fflush(stdout);
    }
    if (options.paced > 0
        && both([&](Subject &s) {
               return paced(s, members, options.paced, options.paceMs, &pacedFigures[slot(s)]);
           })) {
        const std::string what = "fan-out latency, one line every " + std::to_string(options.paceMs) + " ms";
        printLatency(what.c_str(), pacedFigures[0], pacedFigures[1]);
    }
    for (Subject *s : {&room, &floor}) {
        const std::string trouble = s->harness->trouble();
        if (!trouble.empty()) {
            std::printf("  WARNING (%s): %s\n", s->harness->name(), trouble.c_str());
            ok = false;
        }
    }
    room.stop();
    floor.stop();
    std::fflush(stdout);
    return ok;
}

} // namespace bench
