#include "fanout.h"

#include "baseline.h"
#include "hostidentity.h"
#include "roomharness.h"
#include "subjects.h"

#include <QCoreApplication>
#include "syscalls.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// The room, then the floor with the room's TLS, then the plain floor.
enum Column { Room, TlsFloor, PlainFloor, kColumns };

std::string fmt(const char *format, double v)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string ratio(double ours, double floor)
{
    if (ours <= 0 || floor <= 0)
        return "-";
    return fmt("%.2fx", ours / floor);
}

// The room's figure first: baseline.cpp reads that column of an earlier
// build's table, so its place and the labels stay as they are.
// Through processes the third column is the baseline's room, and a last
// one the room's ratio to it.
bool g_versusThird = false;

void row(const char *what, const std::string &room, const std::string &tls, const std::string &r,
         const std::string &plain, const std::string &versus = {})
{
    std::printf("  %-34s %16s %16s %12s %16s %12s\n", what, room.c_str(), tls.c_str(), r.c_str(), plain.c_str(),
                versus.c_str());
}

// One figure of each column, as text, and the room's ratio to the TLS floor.
template <typename Figures, typename Get>
void figureRow(const char *what, const std::optional<Figures> (&f)[kColumns], Get get, const char *format,
               double scale = 1)
{
    auto text = [&](Column c) { return f[c] ? fmt(format, double(get(*f[c])) / scale) : std::string("-"); };
    const double room = f[Room] ? double(get(*f[Room])) : 0;
    const double tls = f[TlsFloor] ? double(get(*f[TlsFloor])) : 0;
    const double third = f[PlainFloor] ? double(get(*f[PlainFloor])) : 0;
    row(what, text(Room), text(TlsFloor), ratio(room, tls), text(PlainFloor),
        g_versusThird ? ratio(room, third) : std::string());
}

void printLatency(const std::string &what, const std::optional<LatencyFigures> (&f)[kColumns])
{
    std::size_t count = 0;
    for (const auto &figures : f)
        count = std::max(count, figures ? figures->count : 0);
    std::printf("  %s, %zu lines\n", what.c_str(), count);
    figureRow("    p50", f, [](const LatencyFigures &l) { return l.p50; }, "%.1f us", 1000);
    figureRow("    p99", f, [](const LatencyFigures &l) { return l.p99; }, "%.1f us", 1000);
    figureRow("    max", f, [](const LatencyFigures &l) { return l.max; }, "%.1f us", 1000);
}

void printRates(int window, const std::optional<ThroughputFigures> (&f)[kColumns])
{
    using T = ThroughputFigures;
    std::printf("  throughput, %d own lines in flight per member\n", window);
    figureRow("    lines/s to every receiver", f, [](const T &t) { return t.lines; }, "%.0f");
    figureRow("    deliveries/s (lines x receivers)", f, [](const T &t) { return t.deliveries; }, "%.0f");
    figureRow("    host CPU, share of one core", f, [](const T &t) { return t.hostCore; }, "%.2f");
    figureRow("    host CPU per line", f, [](const T &t) { return t.hostNsPerLine; }, "%.2f us", 1000);
    figureRow("    process CPU, share of one core", f, [](const T &t) { return t.processCore; }, "%.2f");
    figureRow("    process CPU per line", f, [](const T &t) { return t.processNsPerLine; }, "%.2f us", 1000);
}

// With one line in flight, nothing is batched: each line pays its own way.
void countSyscallsPerLine(Subject *subjects[kColumns], int lines)
{
    std::printf("  system calls per relayed line on the host's (relay's) thread, back to back, %d lines,\n"
                "  strace -c -p TID\n",
                lines);
    for (int c = 0; c < kColumns; ++c) {
        Subject *s = subjects[c];
        if (!s)
            continue;
        SyscallCount count;
        std::string error;
        LatencyFigures ignored;
        if (!countSyscalls(
                s->relayThread(), [&] { return s->closed(lines, &ignored); }, &count, &error)) {
            std::printf("    %-12s not counted: %s%s%s\n", s->name(), error.c_str(), s->error().empty() ? "" : ": ",
                        s->error().c_str());
            continue;
        }
        std::string detail;
        for (std::size_t i = 0; i < count.byName.size() && i < 6; ++i) {
            detail += (i ? ", " : "") + count.byName[i].first + " "
                      + fmt("%.1f", double(count.byName[i].second) / lines);
        }
        std::printf("    %-12s %6.1f   (%s)\n", s->name(), double(count.calls) / lines, detail.c_str());
    }
}

void printBaseline(const FanoutOptions &options, const LatencyFigures &closed, const LatencyFigures &paced,
                   const ThroughputFigures &rates)
{
    std::printf("\n== what encryption costs: this room against the room at %s, same options ==\n",
                options.baselineLabel.empty() ? options.baselineBench.c_str() : options.baselineLabel.c_str());
    std::fflush(stdout);
    RoomFigures before;
    std::string error;
    const auto started = Clock::now();
    if (!runBaselineRoom(options, &before, &error)) {
        std::printf("  ERROR (baseline): %s\n", error.c_str());
        return;
    }
    std::printf("  (its run took %.0f s)\n", std::chrono::duration<double>(Clock::now() - started).count());
    auto line = [](const char *what, const std::string &now, const std::string &then, const std::string &r) {
        std::printf("  %-34s %16s %16s %12s\n", what, now.c_str(), then.c_str(), r.c_str());
    };
    auto latency = [&](const char *what, std::int64_t now, std::int64_t then) {
        line(what, fmt("%.1f us", double(now) / 1000), fmt("%.1f us", double(then) / 1000),
             ratio(double(now), double(then)));
    };
    line("", "this room", "before", "this/before");
    latency("back to back p50", closed.p50, before.closed.p50);
    latency("back to back p99", closed.p99, before.closed.p99);
    if (options.paced > 0) {
        latency("paced p50", paced.p50, before.paced.p50);
        latency("paced p99", paced.p99, before.paced.p99);
    }
    line("lines/s to every receiver", fmt("%.0f", rates.lines), fmt("%.0f", before.rates.lines),
         ratio(rates.lines, before.rates.lines));
    line("host CPU per line", fmt("%.2f us", rates.hostNsPerLine / 1000),
         fmt("%.2f us", before.rates.hostNsPerLine / 1000), ratio(rates.hostNsPerLine, before.rates.hostNsPerLine));
    line("process CPU per line", fmt("%.2f us", rates.processNsPerLine / 1000),
         fmt("%.2f us", before.rates.processNsPerLine / 1000),
         ratio(rates.processNsPerLine, before.rates.processNsPerLine));
}

} // namespace

bool runFanout(const FanoutOptions &options)
{
    const int members = options.members;
    const int threads = std::max(1, std::min(options.threads, members));
    if (options.processes)
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
    std::string identity;
    if (options.withFloors) {
        QString error;
        const QString path = TAVIXLibCtl::HostIdentity::defaultPath();
        if (!TAVIXLibCtl::HostIdentity::loadOrCreate(path, &error)) {
            std::printf("  ERROR: no host key for the TLS floor: %s\n", qPrintable(error));
            return false;
        }
        identity = path.toStdString();
    }
    std::unique_ptr<Subject> owned[kColumns];
    g_versusThird = options.processes;
    if (options.processes) {
        // A script's way: a host and members, each a process on a pipe.
        auto tool = [&](const std::string &path) {
            return ProcessRoom{QString::fromStdString(path),
                               {QStringLiteral("host"), QStringLiteral("--port"), QStringLiteral("0"),
                                QStringLiteral("--size"), QString::number(members + 1), QStringLiteral("--name"),
                                QStringLiteral("host")},
                               {QStringLiteral("join"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QStringLiteral("PORT"), QStringLiteral("--name"), QStringLiteral("NAME")},
                               "the host's key"};
        };
        const QString floor = QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_floor");
        const QString key = QString::fromStdString(identity);
        if (options.withRoom)
            owned[Room] = std::make_unique<RoomSubject>(tool(options.roomTool), "tavix-room");
        if (options.withFloors)
            owned[TlsFloor] = std::make_unique<RoomSubject>(
                ProcessRoom{floor,
                            {QStringLiteral("relay"), QStringLiteral("--identity"), key},
                            {QStringLiteral("client"), QStringLiteral("--port"), QStringLiteral("PORT"),
                             QStringLiteral("--identity"), key},
                            "connected"},
                "TLS floor");
        if (!options.baselineTool.empty())
            owned[PlainFloor] = std::make_unique<RoomSubject>(tool(options.baselineTool), "baseline");
    } else {
        if (options.withRoom)
            owned[Room] = std::make_unique<RoomSubject>();
        if (options.withFloors) {
            owned[TlsFloor] = std::make_unique<FloorSubject>(identity);
            owned[PlainFloor] = std::make_unique<FloorSubject>(std::string());
        }
    }
    Subject *subjects[kColumns] = {owned[Room].get(), owned[TlsFloor].get(), owned[PlainFloor].get()};

    bool ok = true;
    // Runs `phase` on each subject in turn, phase by phase, so that load from
    // elsewhere on the machine falls on all of them.
    auto each = [&](auto phase) {
        for (Subject *s : subjects) {
            if (ok && s && !phase(*s)) {
                std::printf("  ERROR (%s): %s\n", s->name(), s->error().c_str());
                ok = false;
            }
        }
        return ok;
    };
    double formedMs = 0;
    each([&](Subject &s) {
        const auto start = Clock::now();
        const bool good = s.start(members, threads);
        if (&s == subjects[Room])
            formedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        return good;
    });
    if (ok) {
        if (subjects[Room])
            std::printf("  room formed in %.0f ms\n", formedMs);
        if (subjects[TlsFloor] && !options.processes)
            std::printf("  TLS floor: %s\n", static_cast<FloorSubject *>(subjects[TlsFloor])->cipher().c_str());
        if (options.processes)
            row("", "tavix-room", "TLS floor", "room/TLS", options.baselineLabel.substr(0, 16).c_str(),
                "room/before");
        else
            row("", "room", "TLS floor", "room/TLS", "plain floor");
        std::fflush(stdout);
    }

    auto slot = [&](Subject &s) {
        return &s == subjects[Room] ? Room : &s == subjects[TlsFloor] ? TlsFloor : PlainFloor;
    };
    std::optional<LatencyFigures> closed[kColumns], paced[kColumns];
    std::optional<ThroughputFigures> rates[kColumns];
    LatencyFigures ignored;
    each([&](Subject &s) { return s.closed(options.warmup, &ignored); });
    if (each([&](Subject &s) { return s.closed(options.lines, &closed[slot(s)].emplace()); })) {
        printLatency("fan-out latency, back to back", closed);
        std::fflush(stdout);
    }
    if (each([&](Subject &s) { return s.throughput(options, &rates[slot(s)].emplace()); })) {
        printRates(options.window, rates);
        std::fflush(stdout);
    }
    if (options.paced > 0
        && each([&](Subject &s) { return s.paced(options.paced, options.paceMs, &paced[slot(s)].emplace()); })) {
        printLatency("fan-out latency, one line every " + std::to_string(options.paceMs) + " ms", paced);
        std::fflush(stdout);
    }
    if (ok && options.extras && options.smoke)
        std::printf("  not in smoke mode: system calls per line (strace) and the room before TLS\n");
    else if (ok && options.extras && options.syscallLines > 0)
        countSyscallsPerLine(subjects, options.syscallLines);
    std::fflush(stdout);
    for (Subject *s : subjects) {
        const std::string trouble = s ? s->trouble() : std::string();
        if (!trouble.empty()) {
            std::printf("  WARNING (%s): %s\n", s->name(), trouble.c_str());
            ok = false;
        }
    }
    for (Subject *s : subjects) {
        if (s)
            s->stop();
    }
    std::fflush(stdout);

    if (ok && options.extras && !options.smoke && !options.baselineBench.empty() && closed[Room] && rates[Room])
        printBaseline(options, *closed[Room], paced[Room].value_or(LatencyFigures{}), *rates[Room]);
    std::fflush(stdout);
    return ok;
}

} // namespace bench
