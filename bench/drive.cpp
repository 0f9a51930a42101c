#include "drive.h"

#include <cstring>
#include <thread>

namespace bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a loaded two-core machine may stall a turn for a second or more.
constexpr auto kLineTimeout = 30s;
// Far more lines than are ever in flight (32 per member, at most a few
// hundred members), so that a slot is never reused while its line travels.
constexpr std::size_t kRing = std::size_t(1) << 18;

enum Kind { Closed, Paced, Throughput };

constexpr char kLatencyAnswer[] = "latency count=%zu p50_ns=%lld p99_ns=%lld max_ns=%lld broken=%d";
constexpr char kRatesAnswer[] = "rates lines=%lld seconds=%lf host_cpu_ns=%lld process_cpu_ns=%lld broken=%d";

} // namespace

struct Driver::Line
{
    std::atomic<int> arrivals{0};
    std::atomic<int> sender{0};
};

struct Driver::Sender
{
    std::atomic<int> inFlight{0};
    std::atomic<bool> refillPosted{false};
};

// One thread's own, on a cache line of its own.
struct alignas(64) Driver::Log
{
    struct Stamp
    {
        std::uint64_t id;
        std::int64_t ns;
    };
    std::vector<Stamp> sent;
    std::vector<Stamp> arrived;
};

// What one phase asked for, and how far it got.
struct Driver::Phase
{
    int kind = Closed;
    std::uint64_t base = 0;
    int count = 0; // lines; for throughput the lines to stop at (0: by time)
    int window = 0;
    std::atomic<int> completed{0};
    std::atomic<int> inFlight{0};
    std::atomic<bool> running{true};
    Latch finished;
    Latch drained;
};

Driver::Driver() = default;
Driver::~Driver() = default;

void Driver::prepare(int members, int threads, int receivers)
{
    m_members = members;
    m_threads = threads;
    m_receivers = receivers;
    m_lines = std::vector<Line>(kRing);
    m_senders = std::vector<Sender>(std::size_t(members));
    m_logs = std::vector<Log>(std::size_t(threads) + 1);
}

void Driver::run(int member, std::uint64_t id)
{
    Phase &phase = *m_phase.load(std::memory_order_acquire);
    if (id == 0) {
        // Refill the member's window.
        Sender &sender = m_senders[std::size_t(member)];
        sender.refillPosted.store(false);
        while (phase.running.load(std::memory_order_relaxed) && sender.inFlight.load() < phase.window) {
            ++sender.inFlight;
            ++phase.inFlight;
            run(member, m_nextId.fetch_add(1, std::memory_order_relaxed));
        }
        return;
    }
    if (phase.kind != Throughput)
        m_logs[std::size_t(member % m_threads)].sent.push_back({id, nowNs()});
    Line &line = m_lines[id & (kRing - 1)];
    line.sender.store(member, std::memory_order_relaxed);
    line.arrivals.store(0, std::memory_order_release);
    say(member, id);
}

void Driver::arrived(int log, std::uint64_t id)
{
    Phase *phase = m_phase.load(std::memory_order_acquire);
    if (!phase || id == 0)
        return;
    if (phase->kind != Throughput)
        m_logs[std::size_t(log)].arrived.push_back({id, nowNs()});
    Line &line = m_lines[id & (kRing - 1)];
    if (line.arrivals.fetch_add(1, std::memory_order_acq_rel) + 1 == m_receivers)
        completed(line.sender.load(std::memory_order_relaxed));
}

void Driver::completed(int sender)
{
    Phase &phase = *m_phase.load(std::memory_order_acquire);
    const int done = ++phase.completed;
    switch (phase.kind) {
    case Closed:
        if (done < phase.count)
            post(done % m_members, phase.base + std::uint64_t(done));
        else
            phase.finished.raise();
        return;
    case Paced:
        if (done == phase.count)
            phase.finished.raise();
        return;
    default: {
        --m_senders[std::size_t(sender)].inFlight;
        const int left = --phase.inFlight;
        if (done == phase.count)
            phase.finished.raise();
        if (phase.running.load())
            scheduleRefill(sender);
        else if (left == 0)
            phase.drained.raise();
    }
    }
}

void Driver::scheduleRefill(int member)
{
    if (!m_senders[std::size_t(member)].refillPosted.exchange(true))
        post(member, 0);
}

Driver::Phase &Driver::begin(int kind, int count, int window)
{
    // Between phases the threads are idle: their logs are ours to clear.
    for (Log &log : m_logs) {
        log.sent.clear();
        log.arrived.clear();
        if (kind != Throughput) {
            log.sent.reserve(std::size_t(count));
            log.arrived.reserve(std::size_t(count) * std::size_t(m_receivers));
        }
    }
    auto phase = std::make_unique<Phase>();
    phase->kind = kind;
    phase->count = count;
    phase->window = window;
    // Throughput takes its ids one at a time as lines go.
    if (kind != Throughput)
        phase->base = m_nextId.fetch_add(std::uint64_t(count));
    m_phases.push_back(std::move(phase));
    m_phase.store(m_phases.back().get(), std::memory_order_release);
    return *m_phases.back();
}

// Bounded by the lines still to come, so that a slow run is not cut short.
bool Driver::wait(Phase &phase, Latch &latch, const char *what)
{
    auto deadline = Clock::now() + kLineTimeout;
    int seen = phase.completed.load();
    while (!latch.waitUntil(std::min(deadline, Clock::now() + 1s))) {
        const int done = phase.completed.load();
        if (done != seen) {
            seen = done;
            deadline = Clock::now() + kLineTimeout;
        } else if (Clock::now() >= deadline) {
            error = std::string(what) + ": stuck after " + std::to_string(done) + " lines, "
                    + std::to_string(lost()) + " links lost";
            return false;
        }
    }
    return true;
}

// From each thread's own log: the send, and the last of the arrivals.
LatencyFigures Driver::merge(const Phase &phase) const
{
    const auto count = std::size_t(phase.count);
    std::vector<std::int64_t> start(count, 0), last(count, 0);
    auto index = [&](std::uint64_t id) { return std::size_t(id - phase.base); };
    for (const Log &log : m_logs) {
        for (const auto &s : log.sent) {
            if (index(s.id) < count)
                start[index(s.id)] = s.ns;
        }
        for (const auto &a : log.arrived) {
            if (index(a.id) < count)
                last[index(a.id)] = std::max(last[index(a.id)], a.ns);
        }
    }
    std::vector<std::int64_t> samples(count);
    for (std::size_t k = 0; k < count; ++k)
        samples[k] = last[k] - start[k];
    return summarise(std::move(samples));
}

bool Driver::closed(int count, LatencyFigures *figures)
{
    Phase &phase = begin(Closed, count, 0);
    post(0, phase.base);
    if (!wait(phase, phase.finished, "back to back"))
        return false;
    *figures = merge(phase);
    return true;
}

bool Driver::paced(int count, int paceMs, LatencyFigures *figures)
{
    Phase &phase = begin(Paced, count, 0);
    const auto start = Clock::now();
    for (int k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + k * std::chrono::milliseconds(paceMs));
        post(k % m_members, phase.base + std::uint64_t(k));
    }
    if (!wait(phase, phase.finished, "paced"))
        return false;
    *figures = merge(phase);
    return true;
}

bool Driver::throughput(double seconds, int lines, int window, Rates *rates)
{
    Phase &phase = begin(Throughput, lines, window);
    Rates at0, at1;
    auto sample = [&](Rates *r) {
        r->lines = phase.completed.load();
        r->hostCpuNs = hostCpuNs();
        r->processCpuNs = processCpuNs();
        return Clock::now();
    };
    Clock::time_point t0;
    if (lines > 0)
        t0 = sample(&at0);
    for (int m = 0; m < m_members; ++m)
        scheduleRefill(m);
    if (lines > 0) {
        if (!wait(phase, phase.finished, "throughput")) {
            phase.running = false;
            return false;
        }
    } else {
        std::this_thread::sleep_for(1s); // warm-up
        t0 = sample(&at0);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    const Clock::time_point t1 = sample(&at1);
    phase.running = false;
    if (phase.inFlight.load() > 0 && !wait(phase, phase.drained, "throughput, the last lines"))
        return false;
    rates->lines = at1.lines - at0.lines;
    rates->seconds = std::chrono::duration<double>(t1 - t0).count();
    rates->hostCpuNs = at1.hostCpuNs - at0.hostCpuNs;
    rates->processCpuNs = at1.processCpuNs - at0.processCpuNs;
    return true;
}

bool serve(Subject &subject, std::FILE *in, std::FILE *out)
{
    LatencyFigures f;
    Rates r;
    auto latency = [&](bool ok) {
        return ok && std::fprintf(out, kLatencyAnswer, f.count, (long long)f.p50, (long long)f.p99,
                                  (long long)f.max, subject.lost()) > 0;
    };
    char command[256];
    while (std::fgets(command, sizeof command, in)) {
        int count = 0, number = 0;
        double seconds = 0;
        bool ok = false;
        if (std::sscanf(command, kClosedCommand, &count) == 1) {
            ok = latency(subject.closed(count, &f));
        } else if (std::sscanf(command, kPacedCommand, &count, &number) == 2) {
            ok = latency(subject.paced(count, number, &f));
        } else if (std::sscanf(command, kThroughputCommand, &seconds, &count, &number) == 3) {
            ok = subject.throughput(seconds, count, number, &r)
                 && std::fprintf(out, kRatesAnswer, (long long)r.lines, r.seconds, (long long)r.hostCpuNs,
                                 (long long)r.processCpuNs, subject.lost()) > 0;
        } else if (std::strncmp(command, "quit", 4) == 0) {
            break;
        } else if (command[0] == '\n') {
            continue;
        } else {
            subject.error = "unknown command: " + std::string(command, std::strcspn(command, "\n"));
        }
        if (!ok) {
            std::fprintf(out, "error %s\n", subject.error.c_str());
            return false;
        }
        std::fputc('\n', out);
        std::fflush(out);
    }
    std::fprintf(out, "bye broken=%d\n", subject.lost());
    std::fflush(out);
    return true;
}

bool readAnswer(const std::string &line, LatencyFigures *figures, int *broken)
{
    long long p50 = 0, p99 = 0, max = 0;
    if (std::sscanf(line.c_str(), kLatencyAnswer, &figures->count, &p50, &p99, &max, broken) != 5)
        return false;
    figures->p50 = p50;
    figures->p99 = p99;
    figures->max = max;
    return true;
}

bool readAnswer(const std::string &line, Rates *rates, int *broken)
{
    long long lines = 0, host = 0, process = 0;
    if (std::sscanf(line.c_str(), kRatesAnswer, &lines, &rates->seconds, &host, &process, broken) != 5)
        return false;
    rates->lines = lines;
    rates->hostCpuNs = host;
    rates->processCpuNs = process;
    return true;
}

} // namespace bench
