#include "subjects.h"

#include "latch.h"
#include "procstats.h"
#include "roomharness.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a loaded two-core machine may stall a turn for a second or more.
constexpr auto kLineTimeout = 30s;
// Lines that smoke mode's throughput waits for instead of a timed window.
constexpr int kSmokeLines = 300;

void sendOn(RoomHarness &harness, int member, std::uint64_t id)
{
    harness.post(member, [&harness, member, id] { harness.send(member, id); });
}

// Keeps the latency of `count` lines numbered from `base`, and says when all
// of them reached every receiver.
struct LatencySink : Tracker::Sink
{
    int count = 0;
    std::uint64_t base = 0;
    std::vector<std::int64_t> samples;
    std::atomic<int> done{0};
    Latch finished;

    void prepare(Tracker &tracker, int lines)
    {
        count = lines;
        base = tracker.takeIds(std::uint64_t(lines));
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

    // Bounded by the lines still to come, so that a slow run is not cut short.
    bool wait(std::string *error, const char *what)
    {
        auto deadline = Clock::now() + kLineTimeout;
        int seen = done.load();
        while (!finished.waitUntil(std::min(deadline, Clock::now() + 1s))) {
            const int now = done.load();
            if (now != seen) {
                seen = now;
                deadline = Clock::now() + kLineTimeout;
            } else if (Clock::now() >= deadline) {
                *error = std::string(what) + ": line " + std::to_string(now) + " of "
                         + std::to_string(count) + " never reached every receiver";
                return false;
            }
        }
        return true;
    }
};

} // namespace

ThroughputFigures ThroughputFigures::from(double lines, double seconds, double hostCpuNs,
                                          double processCpuNs, int receivers)
{
    ThroughputFigures f;
    if (seconds <= 0)
        return f;
    f.lines = lines / seconds;
    f.deliveries = f.lines * receivers;
    f.hostCore = hostCpuNs / 1e9 / seconds;
    f.hostNsPerLine = lines > 0 ? hostCpuNs / lines : 0;
    f.processCore = processCpuNs / 1e9 / seconds;
    f.processNsPerLine = lines > 0 ? processCpuNs / lines : 0;
    return f;
}

// ---- the room ----

RoomSubject::RoomSubject() = default;

RoomSubject::RoomSubject(const ProcessRoom &room, const std::string &name)
    : m_processes(std::make_unique<ProcessRoom>(room)), m_name(name)
{
}

RoomSubject::~RoomSubject()
{
    stop();
}

void RoomSubject::adopt(std::shared_ptr<Tracker::Sink> sink)
{
    m_sinks.push_back(sink);
    m_tracker->setSink(sink.get());
}

bool RoomSubject::start(int members, int threads)
{
    m_members = members;
    m_harness = std::make_unique<RoomHarness>();
    if (m_processes) {
        m_tracker = std::make_unique<Tracker>(members);
        return m_harness->start(*m_processes, members, threads, m_tracker.get(), &m_error);
    }
    m_tracker = std::make_unique<Tracker>(members + 1);
    return m_harness->start(members, threads, m_tracker.get(), &m_error);
}

bool RoomSubject::closed(int count, LatencyFigures *figures)
{
    struct Sink : LatencySink
    {
        RoomHarness *harness = nullptr;
        int members = 0;

        void completed(std::uint64_t id, int, std::int64_t ns) override
        {
            const int next = record(id, ns);
            if (next > 0 && next < count)
                sendOn(*harness, next % members, base + std::uint64_t(next));
        }
    };
    auto sink = std::make_shared<Sink>();
    sink->harness = m_harness.get();
    sink->members = m_members;
    sink->prepare(*m_tracker, count);
    adopt(sink);

    sendOn(*m_harness, 0, sink->base);
    if (!sink->wait(&m_error, "back to back"))
        return false;
    *figures = summarise(sink->samples);
    return true;
}

bool RoomSubject::paced(int count, int paceMs, LatencyFigures *figures)
{
    auto sink = std::make_shared<LatencySink>();
    sink->prepare(*m_tracker, count);
    adopt(sink);

    const auto start = Clock::now();
    for (int k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + k * std::chrono::milliseconds(paceMs));
        sendOn(*m_harness, k % m_members, sink->base + std::uint64_t(k));
    }
    if (!sink->wait(&m_error, "paced"))
        return false;
    *figures = summarise(sink->samples);
    return true;
}

bool RoomSubject::throughput(const FanoutOptions &options, ThroughputFigures *figures)
{
    struct Sender
    {
        std::atomic<int> inFlight{0};
        std::atomic<bool> refillPosted{false};
    };
    struct Sink : Tracker::Sink
    {
        RoomHarness *harness = nullptr;
        Tracker *tracker = nullptr;
        int window = 0;
        std::vector<Sender> senders;
        std::atomic<bool> running{true};
        std::atomic<std::int64_t> completedLines{0};
        std::atomic<int> inFlight{0};
        std::int64_t target = 0; // raise `reached` at this many lines; 0 for never
        Latch reached;
        Latch drained;

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
    auto sink = std::make_shared<Sink>(m_members);
    sink->harness = m_harness.get();
    sink->tracker = m_tracker.get();
    sink->window = options.window;
    sink->target = options.smoke ? kSmokeLines : 0;
    adopt(sink);

    auto sample = [&](std::int64_t *lines, std::int64_t *host, std::int64_t *process) {
        *lines = sink->completedLines.load();
        *host = m_harness->hostCpuNs();
        *process = m_harness->roomCpuNs();
        return Clock::now();
    };
    std::int64_t lines0 = 0, host0 = 0, proc0 = 0, lines1 = 0, host1 = 0, proc1 = 0;
    Clock::time_point t0;
    if (options.smoke)
        t0 = sample(&lines0, &host0, &proc0);
    for (int m = 0; m < m_members; ++m)
        sink->scheduleRefill(m);
    if (options.smoke) {
        if (!sink->reached.waitUntil(Clock::now() + kLineTimeout)) {
            m_error = "throughput: only " + std::to_string(sink->completedLines.load()) + " lines delivered";
            sink->running = false;
            return false;
        }
    } else {
        std::this_thread::sleep_for(1s); // warm-up
        t0 = sample(&lines0, &host0, &proc0);
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    }
    const Clock::time_point t1 = sample(&lines1, &host1, &proc1);
    sink->running = false;
    if (sink->inFlight.load() > 0 && !sink->drained.waitUntil(Clock::now() + kLineTimeout)) {
        m_error = "throughput: " + std::to_string(sink->inFlight.load()) + " lines never reached every receiver";
        return false;
    }
    *figures = ThroughputFigures::from(double(lines1 - lines0), std::chrono::duration<double>(t1 - t0).count(),
                                       double(host1 - host0), double(proc1 - proc0), m_tracker->receivers());
    return true;
}

pid_t RoomSubject::relayThread() const
{
    return m_harness ? m_harness->hostThread() : 0;
}

std::string RoomSubject::trouble() const
{
    return m_harness ? m_harness->trouble() : std::string();
}

void RoomSubject::stop()
{
    if (m_harness)
        m_harness->stop();
    if (m_tracker)
        m_tracker->setSink(nullptr);
}

// ---- a floor ----

FloorSubject::FloorSubject(const std::string &identity) : m_identity(identity), m_tls(!identity.empty()) {}

FloorSubject::~FloorSubject()
{
    stop();
}

bool FloorSubject::start(int members, int threads)
{
    m_receivers = members + 1;
    QStringList arguments{QStringLiteral("--members"), QString::number(members), QStringLiteral("--threads"),
                          QString::number(threads)};
    if (m_tls)
        arguments << QStringLiteral("--identity") << QString::fromStdString(m_identity);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_floor"), arguments);
    if (!m_process.waitForStarted(10000)) {
        m_error = "cannot start tavix_floor: " + m_process.errorString().toStdString();
        return false;
    }
    Answer ready;
    if (!readAnswer(&ready, 60))
        return false;
    for (const auto &[key, value] : ready) {
        if (key == "relay_tid")
            m_relayTid = pid_t(std::stol(value));
        else if (key == "cipher")
            m_cipher = value;
    }
    return true;
}

bool FloorSubject::readAnswer(Answer *answer, int timeoutSeconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!m_process.canReadLine()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || m_process.state() != QProcess::Running) {
            m_error = m_process.state() == QProcess::Running ? "no answer in time" : "tavix_floor ended";
            return false;
        }
        m_process.waitForReadyRead(int(std::min<std::int64_t>(left.count(), 1000)));
    }
    const std::string line = m_process.readLine().trimmed().toStdString();
    if (line.rfind("error", 0) == 0) {
        m_error = line.size() > 6 ? line.substr(6) : line;
        return false;
    }
    std::istringstream words(line);
    std::string word;
    answer->clear();
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq == std::string::npos)
            answer->emplace_back("reply", word);
        else
            answer->emplace_back(word.substr(0, eq), word.substr(eq + 1));
        if (answer->back().first == "broken")
            m_broken = std::stoi(answer->back().second);
    }
    return true;
}

bool FloorSubject::ask(const std::string &command, Answer *answer, int timeoutSeconds)
{
    if (m_process.state() != QProcess::Running) {
        m_error = "tavix_floor is not running";
        return false;
    }
    m_process.write(QByteArray::fromStdString(command + "\n"));
    m_process.waitForBytesWritten(1000);
    return readAnswer(answer, timeoutSeconds);
}

namespace {

double field(const std::vector<std::pair<std::string, std::string>> &answer, const char *key)
{
    for (const auto &[k, v] : answer) {
        if (k == key)
            return std::stod(v);
    }
    return 0;
}

LatencyFigures latencyOf(const std::vector<std::pair<std::string, std::string>> &answer)
{
    LatencyFigures f;
    f.count = size_t(field(answer, "count"));
    f.p50 = std::int64_t(field(answer, "p50_ns"));
    f.p99 = std::int64_t(field(answer, "p99_ns"));
    f.max = std::int64_t(field(answer, "max_ns"));
    return f;
}

} // namespace

bool FloorSubject::closed(int count, LatencyFigures *figures)
{
    Answer answer;
    if (!ask("closed " + std::to_string(count), &answer, 120 + count / 100))
        return false;
    *figures = latencyOf(answer);
    return true;
}

bool FloorSubject::paced(int count, int paceMs, LatencyFigures *figures)
{
    Answer answer;
    if (!ask("paced " + std::to_string(count) + " " + std::to_string(paceMs), &answer,
             120 + count * paceMs / 1000))
        return false;
    *figures = latencyOf(answer);
    return true;
}

bool FloorSubject::throughput(const FanoutOptions &options, ThroughputFigures *figures)
{
    char command[96];
    if (options.smoke)
        std::snprintf(command, sizeof command, "throughput-lines %d %d", kSmokeLines, options.window);
    else
        std::snprintf(command, sizeof command, "throughput %.3f %d", options.seconds, options.window);
    Answer answer;
    if (!ask(command, &answer, 120 + int(options.seconds)))
        return false;
    *figures = ThroughputFigures::from(field(answer, "lines"), field(answer, "seconds"),
                                       field(answer, "relay_cpu_ns"), field(answer, "process_cpu_ns"),
                                       m_receivers);
    return true;
}

std::string FloorSubject::trouble() const
{
    return m_broken ? std::to_string(m_broken) + " links broke during the run" : std::string();
}

void FloorSubject::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Reads its "bye" for the count of broken links, keeping any earlier error.
    const std::string kept = m_error;
    Answer bye;
    m_process.write("quit\n");
    m_process.waitForBytesWritten(1000);
    readAnswer(&bye, 10);
    m_error = kept;
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

} // namespace bench
