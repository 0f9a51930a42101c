// The fan-out: the room beside the floors, phase by phase, the table of what
// they did, the system calls per line under strace, and the room of another
// build (--baseline), whose table is read back here.

#include "items.h"

#include "hostidentity.h"
#include "subjects.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iterator>
#include <sstream>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Lines that smoke mode's throughput waits for instead of a timed window.
constexpr int kSmokeLines = 300;

// The room, the TLS floor, and the plain floor (through processes: the
// baseline's tavix-room).
enum Column { Room, TlsFloor, Third, kColumns };

struct ThroughputFigures
{
    double lines = 0;         // lines per second delivered to every receiver
    double deliveries = 0;    // lines x receivers per second
    double hostCore = 0;      // host (relay) thread CPU as a share of one core
    double hostNsPerLine = 0; // host (relay) thread CPU per fully delivered line
    double processCore = 0;   // the whole process of the subject
    double processNsPerLine = 0;

    ThroughputFigures(const Rates &r, int receivers)
    {
        if (r.seconds <= 0)
            return;
        lines = double(r.lines) / r.seconds;
        deliveries = lines * receivers;
        hostCore = double(r.hostCpuNs) / 1e9 / r.seconds;
        processCore = double(r.processCpuNs) / 1e9 / r.seconds;
        hostNsPerLine = r.lines > 0 ? double(r.hostCpuNs) / double(r.lines) : 0;
        processNsPerLine = r.lines > 0 ? double(r.processCpuNs) / double(r.lines) : 0;
    }
};

std::string fmt(const char *format, double v)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string ratio(double ours, double floor)
{
    return ours > 0 && floor > 0 ? fmt("%.2fx", ours / floor) : "-";
}

// The label, then the room's column: readBefore() reads that column of an
// earlier build's table, so its place and the labels stay as they are.
// Through processes a last column has the room's ratio to the baseline.
constexpr std::size_t kLabelAt = 2, kLabelWidth = 34, kRoomAt = kLabelAt + kLabelWidth + 1, kRoomWidth = 16;

void row(const char *what, const std::string &room, const std::string &tls, const std::string &r,
         const std::string &third, const std::string &versus = {})
{
    std::printf("  %-34s %16s %16s %12s %16s %12s\n", what, room.c_str(), tls.c_str(), r.c_str(), third.c_str(),
                versus.c_str());
}

// One figure of each column, and the room's ratio to the TLS floor.
template <typename Figures, typename Get>
void figureRow(const char *what, const std::optional<Figures> (&f)[kColumns], bool versusThird, Get get,
               const char *format, double scale = 1)
{
    auto value = [&](int c) { return f[c] ? double(get(*f[c])) : 0; };
    auto text = [&](int c) { return f[c] ? fmt(format, value(c) / scale) : std::string("-"); };
    row(what, text(Room), text(TlsFloor), ratio(value(Room), value(TlsFloor)), text(Third),
        versusThird ? ratio(value(Room), value(Third)) : std::string());
}

void printLatency(const std::string &what, const std::optional<LatencyFigures> (&f)[kColumns], bool versus)
{
    std::size_t count = 0;
    for (const auto &figures : f)
        count = std::max(count, figures ? figures->count : 0);
    std::printf("  %s, %zu lines\n", what.c_str(), count);
    figureRow("    p50", f, versus, [](const LatencyFigures &l) { return l.p50; }, "%.1f us", 1000);
    figureRow("    p99", f, versus, [](const LatencyFigures &l) { return l.p99; }, "%.1f us", 1000);
    figureRow("    max", f, versus, [](const LatencyFigures &l) { return l.max; }, "%.1f us", 1000);
}

void printRates(int window, const std::optional<ThroughputFigures> (&f)[kColumns], bool versus)
{
    using T = ThroughputFigures;
    std::printf("  throughput, %d own lines in flight per member\n", window);
    figureRow("    lines/s to every receiver", f, versus, [](const T &t) { return t.lines; }, "%.0f");
    figureRow("    deliveries/s (lines x receivers)", f, versus, [](const T &t) { return t.deliveries; }, "%.0f");
    figureRow("    host CPU, share of one core", f, versus, [](const T &t) { return t.hostCore; }, "%.2f");
    figureRow("    host CPU per line", f, versus, [](const T &t) { return t.hostNsPerLine; }, "%.2f us", 1000);
    figureRow("    process CPU, share of one core", f, versus, [](const T &t) { return t.processCore; }, "%.2f");
    figureRow("    process CPU per line", f, versus, [](const T &t) { return t.processNsPerLine; }, "%.2f us", 1000);
}

// Runs `work` under `strace -c -p TID`: without -f, so that only that thread
// is traced, not the other threads of its process. The summary's rows (%
// time, seconds, usecs/call, calls, [errors,] name) as the total and the
// calls by name, most first; false, with the reason, when there are none.
bool traceSyscalls(pid_t thread, const std::function<bool()> &work, std::int64_t *total,
                   std::vector<std::pair<std::int64_t, std::string>> *byName, std::string *error)
{
    QTemporaryDir folder;
    const QString summary = folder.filePath(QStringLiteral("summary"));
    QProcess strace;
    strace.setReadChannel(QProcess::StandardError);
    strace.start(QStringLiteral("strace"),
                 {QStringLiteral("-c"), QStringLiteral("-o"), summary, QStringLiteral("-p"), QString::number(thread)});
    // It says so on standard error once it is attached.
    QByteArray said;
    while (!said.contains("attached")) {
        if (!strace.waitForReadyRead(5000)) {
            const QString why = said.isEmpty() ? strace.errorString() : QString::fromLocal8Bit(said.trimmed());
            *error = "strace did not attach: " + why.toStdString();
            strace.kill();
            strace.waitForFinished(5000);
            return false;
        }
        said += strace.readAllStandardError();
    }
    const bool done = work();
    // On SIGINT strace detaches and writes its summary.
    ::kill(pid_t(strace.processId()), SIGINT);
    if (!strace.waitForFinished(10000)) {
        strace.kill();
        strace.waitForFinished(5000);
    }
    QFile file(summary);
    if (!done || !file.open(QIODevice::ReadOnly)) {
        *error = done ? "strace wrote no summary" : "the traced run failed";
        return false;
    }
    std::istringstream lines(file.readAll().toStdString());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (w.size() < 5 || w[0].find_first_not_of("0123456789.") != std::string::npos)
            continue;
        if (w.back() == "total")
            *total = std::stoll(w[3]);
        else
            byName->emplace_back(std::stoll(w[3]), w.back());
    }
    std::stable_sort(byName->begin(), byName->end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    return true;
}

// With one line in flight, nothing is batched: each line pays its own way.
void countSyscallsPerLine(Subject *const (&subjects)[kColumns], const char *const (&names)[kColumns], int lines)
{
    std::printf("  system calls per relayed line on the host's (relay's) thread, back to back, %d lines,\n"
                "  strace -c -p TID\n",
                lines);
    for (int c = 0; c < kColumns; ++c) {
        Subject *s = subjects[c];
        if (!s)
            continue;
        std::int64_t total = 0;
        std::vector<std::pair<std::int64_t, std::string>> byName;
        std::string error;
        LatencyFigures ignored;
        if (!traceSyscalls(s->relayThread(), [&] { return s->closed(lines, &ignored); }, &total, &byName, &error)) {
            std::printf("    %-12s not counted: %s%s%s\n", names[c], error.c_str(), s->error.empty() ? "" : ": ",
                        s->error.c_str());
            continue;
        }
        std::string detail;
        for (std::size_t i = 0; i < byName.size() && i < 6; ++i)
            detail += (i ? ", " : "") + byName[i].second + " " + fmt("%.1f", double(byName[i].first) / lines);
        std::printf("    %-12s %6.1f   (%s)\n", names[c], double(total) / lines, detail.c_str());
    }
}

// The room's column of an earlier build's table.
struct Before
{
    LatencyFigures closed, paced;
    double lines = 0, hostNsPerLine = 0, processNsPerLine = 0;
};

bool readBefore(const std::string &output, Before *b, std::string *error)
{
    LatencyFigures *latency = nullptr;
    bool rates = false;
    int found = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("ERROR") != std::string::npos) {
            *error = line;
            return false;
        }
        // Section headings are indented by two, rows by four.
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
            latency = line.find("fan-out latency, back to back") != std::string::npos   ? &b->closed
                      : line.find("fan-out latency, one line every") != std::string::npos ? &b->paced
                                                                                          : nullptr;
            rates = line.compare(0, 12, "  throughput") == 0;
            continue;
        }
        if ((!latency && !rates) || line.size() < kRoomAt + kRoomWidth)
            continue;
        std::istringstream label(line.substr(kLabelAt, kLabelWidth));
        std::string what, word;
        while (label >> word)
            what += (what.empty() ? "" : " ") + word;
        // Latencies and CPU per line are printed in us.
        const double value = std::strtod(line.substr(kRoomAt, kRoomWidth).c_str(), nullptr), ns = value * 1000;
        if (latency && what == "p50")
            latency->p50 = std::int64_t(ns), ++found;
        else if (latency && what == "p99")
            latency->p99 = std::int64_t(ns), ++found;
        else if (rates && what == "lines/s to every receiver")
            b->lines = value, ++found;
        else if (rates && what == "host CPU per line")
            b->hostNsPerLine = ns, ++found;
        else if (rates && what == "process CPU per line")
            b->processNsPerLine = ns, ++found;
    }
    // p50 and p99 back to back (and paced, when it ran), lines/s, CPU per line.
    if (found < 5)
        *error = "its table lacks the room's figures";
    return found >= 5;
}

// Runs another build's tavix_bench for its room alone at this size.
bool runBefore(const FanoutOptions &o, Before *before, std::string *error)
{
    const QStringList arguments =
        QStringLiteral("fanout --subjects room --scale= --syscall-lines 0 --members %1 --threads %2 --warmup %3 "
                       "--lines %4 --paced %5 --pace-ms %6 --seconds %7")
            .arg(o.members).arg(o.threads).arg(o.warmup).arg(o.lines).arg(o.paced).arg(o.paceMs).arg(o.seconds)
            .split(u' ');
    QProcess bench;
    bench.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bench.start(QString::fromStdString(o.baselineBench), arguments);
    if (!bench.waitForFinished((300 + o.paced * o.paceMs / 1000) * 1000)) {
        *error = "did not finish: " + bench.errorString().toStdString();
        bench.kill();
        bench.waitForFinished(5000);
        return false;
    }
    const std::string output = bench.readAllStandardOutput().toStdString();
    // Its own words, for the record.
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        std::printf("  | %s\n", line.c_str());
    if (bench.exitStatus() != QProcess::NormalExit || bench.exitCode() != 0) {
        *error = "it failed (exit " + std::to_string(bench.exitCode()) + ")";
        return false;
    }
    return readBefore(output, before, error);
}

void printBaseline(const FanoutOptions &o, const LatencyFigures &closed, const LatencyFigures &paced,
                   const ThroughputFigures &rates)
{
    std::printf("\n== this room against the room at %s, same options ==\n",
                o.baselineLabel.empty() ? o.baselineBench.c_str() : o.baselineLabel.c_str());
    std::fflush(stdout);
    Before before;
    std::string error;
    const auto started = Clock::now();
    if (!runBefore(o, &before, &error)) {
        std::printf("  ERROR (baseline): %s\n", error.c_str());
        return;
    }
    std::printf("  (its run took %.0f s)\n", std::chrono::duration<double>(Clock::now() - started).count());
    auto line = [](const char *what, double now, double then, const char *format, double scale) {
        std::printf("  %-34s %16s %16s %12s\n", what, fmt(format, now / scale).c_str(),
                    fmt(format, then / scale).c_str(), ratio(now, then).c_str());
    };
    std::printf("  %-34s %16s %16s %12s\n", "", "this room", "before", "this/before");
    line("back to back p50", double(closed.p50), double(before.closed.p50), "%.1f us", 1000);
    line("back to back p99", double(closed.p99), double(before.closed.p99), "%.1f us", 1000);
    if (o.paced > 0) {
        line("paced p50", double(paced.p50), double(before.paced.p50), "%.1f us", 1000);
        line("paced p99", double(paced.p99), double(before.paced.p99), "%.1f us", 1000);
    }
    line("lines/s to every receiver", rates.lines, before.lines, "%.0f", 1);
    line("host CPU per line", rates.hostNsPerLine, before.hostNsPerLine, "%.2f us", 1000);
    line("process CPU per line", rates.processNsPerLine, before.processNsPerLine, "%.2f us", 1000);
}

} // namespace

bool runFanout(const FanoutOptions &o)
{
    const int members = o.members;
    const int threads = std::max(1, std::min(o.threads, members));
    if (o.processes)
        std::printf("\n== through processes: a host and %d members, each a process driven through its pipes; "
                    "the members' output timed ==\n",
                    members);
    else
        std::printf("\n== fan-out: host + %d members (%d receivers); host on its own thread, members on %d "
                    "threads ==\n",
                    members, members + 1, threads);
    std::fflush(stdout);

    // The floor with TLS uses the room's own key and certificate, from the
    // bench's own configuration folder.
    QString identity;
    if (o.tls) {
        QString error;
        identity = TAVIXLibCtl::HostIdentity::defaultPath();
        if (!TAVIXLibCtl::HostIdentity::loadOrCreate(identity, &error)) {
            std::printf("  ERROR: no host key for the TLS floor: %s\n", qPrintable(error));
            return false;
        }
    }
    std::unique_ptr<Subject> owned[kColumns];
    const char *names[kColumns] = {"room", "TLS floor", "plain floor"};
    if (o.processes) {
        // A script's way: a host and members, each a process on a pipe.
        auto words = [](const QString &text) { return text.split(u' '); };
        auto tool = [&](const std::string &path) {
            return std::make_unique<RoomSubject>(
                ProcessRoom{QString::fromStdString(path),
                            words(QStringLiteral("host --port 0 --size %1 --name host").arg(members + 1)),
                            words(QStringLiteral("join 127.0.0.1 --port PORT --name NAME")), "the host's key"});
        };
        names[Room] = "tavix-room";
        names[Third] = "baseline";
        if (o.room)
            owned[Room] = tool(o.roomTool);
        if (o.tls)
            owned[TlsFloor] = std::make_unique<RoomSubject>(
                ProcessRoom{QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_floor"),
                            words(QStringLiteral("relay --identity")) << identity,
                            words(QStringLiteral("client --port PORT --identity")) << identity, "connected"});
        if (!o.baselineTool.empty())
            owned[Third] = tool(o.baselineTool);
    } else {
        if (o.room)
            owned[Room] = std::make_unique<RoomSubject>();
        if (o.tls)
            owned[TlsFloor] = std::make_unique<FloorSubject>(identity.toStdString());
        if (o.plain)
            owned[Third] = std::make_unique<FloorSubject>(std::string());
    }
    Subject *const subjects[kColumns] = {owned[Room].get(), owned[TlsFloor].get(), owned[Third].get()};

    bool ok = true;
    // Runs `phase` on each subject in turn, phase by phase, so that load from
    // elsewhere on the machine falls on all of them.
    auto each = [&](auto phase) {
        for (int c = 0; c < kColumns; ++c) {
            if (ok && subjects[c] && !phase(c, *subjects[c])) {
                std::printf("  ERROR (%s): %s\n", names[c], subjects[c]->error.c_str());
                ok = false;
            }
        }
        std::fflush(stdout);
        return ok;
    };
    double formedMs = 0;
    if (each([&](int c, Subject &s) {
            const auto start = Clock::now();
            const bool good = s.start(members, threads);
            if (c == Room)
                formedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            return good;
        })) {
        if (subjects[Room])
            std::printf("  room formed in %.0f ms\n", formedMs);
        if (auto *floor = dynamic_cast<FloorSubject *>(subjects[TlsFloor]))
            std::printf("  TLS floor: %s\n", floor->cipher().c_str());
        if (o.processes)
            row("", "tavix-room", "TLS floor", "room/TLS", o.baselineLabel.substr(0, 16), "room/before");
        else
            row("", "room", "TLS floor", "room/TLS", "plain floor");
    }

    std::optional<LatencyFigures> closed[kColumns], paced[kColumns];
    std::optional<ThroughputFigures> rates[kColumns];
    const int receivers = o.processes ? members : members + 1;
    LatencyFigures ignored;
    each([&](int, Subject &s) { return s.closed(o.warmup, &ignored); });
    if (each([&](int c, Subject &s) { return s.closed(o.lines, &closed[c].emplace()); }))
        printLatency("fan-out latency, back to back", closed, o.processes);
    if (each([&](int c, Subject &s) {
            Rates r;
            const bool good = s.throughput(o.smoke ? 0 : o.seconds, o.smoke ? kSmokeLines : 0, o.window, &r);
            rates[c].emplace(r, receivers);
            return good;
        }))
        printRates(o.window, rates, o.processes);
    std::optional<double> hostAllocations[kColumns], memberAllocations[kColumns];
    const auto pacedAllocating = [&](int c, Subject &s) {
        auto *room = o.processes ? dynamic_cast<RoomSubject *>(&s) : nullptr;
        const auto before = room ? room->allocations() : std::vector<std::uint64_t>();
        if (!s.paced(o.paced, o.paceMs, &paced[c].emplace()))
            return false;
        const auto after = room ? room->allocations() : std::vector<std::uint64_t>();
        if (after.size() > 1 && after.size() == before.size() && after[0] > 0) {
            hostAllocations[c] = double(after[0] - before[0]) / o.paced;
            std::uint64_t byMembers = 0;
            for (std::size_t i = 1; i < after.size(); ++i)
                byMembers += after[i] - before[i];
            memberAllocations[c] = double(byMembers) / double(after.size() - 1) / o.paced;
        }
        return true;
    };
    if (o.paced > 0 && each(pacedAllocating)) {
        printLatency("fan-out latency, one line every " + std::to_string(o.paceMs) + " ms", paced, o.processes);
        if (hostAllocations[Room]) {
            // Heartbeats over the phase included; each member says one line in five.
            using A = std::optional<double>;
            const A(&h)[kColumns] = hostAllocations;
            const A(&m)[kColumns] = memberAllocations;
            auto text = [](const A &a) { return a ? fmt("%.2f", *a) : std::string("-"); };
            auto r = [](const A &a, const A &b) { return a && b ? ratio(*a, *b) : std::string("-"); };
            std::printf("  heap allocations per line at that pace (LD_PRELOAD counter)\n");
            row("    host (relay) process", text(h[Room]), text(h[TlsFloor]), r(h[Room], h[TlsFloor]), text(h[Third]),
                r(h[Room], h[Third]));
            row("    each member, mean", text(m[Room]), text(m[TlsFloor]), r(m[Room], m[TlsFloor]), text(m[Third]),
                r(m[Room], m[Third]));
        }
    }
    if (ok && o.extras && o.smoke)
        std::printf("  not in smoke mode: system calls per line (strace) and the baseline\n");
    else if (ok && o.extras && o.syscallLines > 0)
        countSyscallsPerLine(subjects, names, o.syscallLines);
    for (int c = 0; c < kColumns; ++c) {
        if (subjects[c] && subjects[c]->lost() > 0) {
            std::printf("  WARNING (%s): %d links ended during the run\n", names[c], subjects[c]->lost());
            ok = false;
        }
    }
    for (Subject *s : subjects) {
        if (s)
            s->stop();
    }
    std::fflush(stdout);

    if (ok && o.extras && !o.smoke && !o.baselineBench.empty() && closed[Room] && rates[Room])
        printBaseline(o, *closed[Room], paced[Room].value_or(LatencyFigures{}), *rates[Room]);
    std::fflush(stdout);
    return ok;
}

} // namespace bench
