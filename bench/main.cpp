// How fast the room and the window are. Prints figures; asserts nothing.
//
//   tavix_bench all [--smoke] [options]   every item, each in a fresh process
//   tavix_bench fanout [options]          room vs floors: latency, throughput, scale
//   tavix_bench processes [options]       the same through tavix-room processes (5 members)
//   tavix_bench join [--joins N] [--key-runs N]
//   tavix_bench log [--log-lines N] [--log-turn-lines N]
//   tavix_bench startup [--runs N] [--startup-lines N]
//   tavix_bench idle [--idle-seconds N]
//   tavix_bench crowd [--crowd-joins N] [--crowd-sockets N]
//                                         joining while sockets crowd the host
//                                         (IPv6 only as root, in a network of
//                                         its own)
//   tavix_bench renames [--rename-seconds N]  a window under a rename flood
//   tavix_bench stall [--stall-runs N]    a member that stops reading
//
// fanout options: --members N (4), --threads N (4), --warmup N (1000),
// --lines N (20000), --paced N (1000), --pace-ms N (50), --seconds S (5),
// --scale LIST (25,100), --scale-lines N (5000), --subjects LIST (of room,
// tls, plain; floor for both floors; both, the default, for all three),
// --syscall-lines N (2000; 0 skips), --baseline-bench PATH (another build's
// tavix_bench, whose room runs the same fan-out: bench/run.sh --baseline REV
// builds one) with --baseline-label TEXT. processes takes the fan-out's
// options and --room-tool PATH (this build's tavix-room by default),
// --baseline-tool PATH (another build's, run beside it).
// --smoke runs each item once at a tiny size, to prove it still works; it
// neither counts system calls nor runs a baseline.
//
// Rooms keep their key under XDG_CONFIG_HOME: every run points it at a
// temporary folder of its own, never at the user's.

#include "eventloop.h"
#include "items.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

namespace {

struct Args
{
    std::string mode;
    std::map<std::string, std::string> options;
    bool smoke = false;

    int number(const std::string &key, int normal, int smokeValue) const
    {
        const auto it = options.find(key);
        return it != options.end() ? std::stoi(it->second) : (smoke ? smokeValue : normal);
    }
    std::string text(const std::string &key, const std::string &normal) const
    {
        const auto it = options.find(key);
        return it != options.end() ? it->second : normal;
    }
};

Args parse(int argc, char **argv)
{
    Args args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--smoke") {
            args.smoke = true;
        } else if (a.rfind("--", 0) == 0) {
            const auto eq = a.find('=');
            if (eq != std::string::npos)
                args.options[a.substr(2, eq - 2)] = a.substr(eq + 1);
            else if (i + 1 < argc)
                args.options[a.substr(2)] = argv[++i];
        } else if (args.mode.empty()) {
            args.mode = a;
        }
    }
    if (args.mode.empty())
        args.mode = "all";
    return args;
}

// The fan-out's options; through processes 5 members and 10,000 lines.
bench::FanoutOptions fanoutOptions(const Args &args, bool processes)
{
    bench::FanoutOptions o;
    o.smoke = args.smoke;
    o.processes = processes;
    o.members = args.number("members", processes ? 5 : 4, processes ? 5 : 4);
    o.threads = args.number("threads", 4, 2);
    o.warmup = args.number("warmup", 1000, 20);
    o.lines = args.number("lines", processes ? 10000 : 20000, 200);
    o.paced = args.number("paced", 1000, 10);
    o.paceMs = args.number("pace-ms", 50, 5);
    o.seconds = std::stod(args.text("seconds", "5"));
    o.syscallLines = args.number("syscall-lines", 2000, 2000);
    const std::string subjects = "," + args.text("subjects", "both") + ",";
    auto has = [&](const char *word) { return subjects.find("," + std::string(word) + ",") != std::string::npos; };
    o.room = has("room") || has("both");
    o.tls = has("tls") || has("floor") || has("both");
    o.plain = has("plain") || has("floor") || has("both");
    o.baselineLabel = args.text("baseline-label", "");
    if (!processes) {
        o.baselineBench = args.text("baseline-bench", "");
        return o;
    }
    o.roomTool = args.text("room-tool", (QCoreApplication::applicationDirPath()
                                         + QStringLiteral("/../tools/roomtool/tavix-room")).toStdString());
    o.baselineTool = args.smoke ? std::string() : args.text("baseline-tool", "");
    return o;
}

bool runFanoutItems(const Args &args)
{
    const bench::FanoutOptions o = fanoutOptions(args, false);
    bool ok = bench::runFanout(o);
    // Bigger rooms: the same back-to-back latency and throughput, no paced run.
    std::istringstream scale(args.text("scale", args.smoke ? "25" : "25,100"));
    for (std::string item; std::getline(scale, item, ',');) {
        if (item.empty())
            continue;
        bench::FanoutOptions big = o;
        big.members = std::stoi(item);
        big.warmup = std::min(o.warmup, 200);
        big.lines = args.number("scale-lines", 5000, 50);
        big.paced = 0;
        big.extras = false;
        ok = bench::runFanout(big) && ok;
    }
    return ok;
}

// Members join while sockets crowd the host: from 99 IPv4 addresses, from
// one, and from 99 of one IPv6 /64 in a network of the bench's own.
bool runCrowds(int joins, int sockets)
{
    bench::Crowding spread{sockets, {}, QHostAddress::LocalHost, QStringLiteral("99 addresses 127.0.1.x")};
    for (int n = 1; n <= bench::kCrowdAddresses; ++n)
        spread.from << QHostAddress(QStringLiteral("127.0.1.%1").arg(n));
    bool ok = bench::runJoin(joins, spread);
    const bench::Crowding one{sockets, {QHostAddress(QStringLiteral("127.0.0.2"))}, QHostAddress::LocalHost,
                              QStringLiteral("one address")};
    ok = bench::runJoin(joins, one) && ok;
    QString why;
    if (!bench::crowdFromManyAddresses(&why)) {
        std::printf("\n== the crowd from one IPv6 /64: skipped, %s ==\n", qPrintable(why));
        return ok;
    }
    bench::Crowding v6{sockets, {}, QHostAddress(QStringLiteral("fd7a:7a::1")),
                       QStringLiteral("99 addresses of fd7a:7a::/64")};
    for (int n = 2; n <= bench::kCrowdAddresses + 1; ++n)
        v6.from << QHostAddress(QStringLiteral("fd7a:7a::%1").arg(n, 0, 16));
    return bench::runJoin(joins, v6) && ok;
}

// Each item in a process of its own, so that memory figures start clean.
int runAll(int argc, char **argv, const Args &args)
{
    QStringList passOn;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "all")
            passOn << QString::fromLocal8Bit(argv[i]);
    }
    const int idleSeconds = args.number("idle-seconds", 60, 1);
    const struct
    {
        const char *mode;
        int timeoutSeconds;
    } items[] = {
        {"fanout", args.smoke ? 120 : 1800},
        {"processes", args.smoke ? 120 : 900},
        {"join", args.smoke ? 60 : 300},
        {"log", args.smoke ? 60 : 600},
        {"startup", args.smoke ? 60 : 600},
        {"idle", idleSeconds + 60},
        {"crowd", args.smoke ? 120 : 900},
        {"renames", args.smoke ? 60 : 120},
        {"stall", args.smoke ? 120 : 600},
    };
    int failures = 0;
    for (const auto &item : items) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QElapsedTimer timer;
        timer.start();
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{QString::fromLatin1(item.mode)} + passOn);
        if (!child.waitForFinished(item.timeoutSeconds * 1000)) {
            std::printf("ERROR: %s did not finish within %d s\n", item.mode, item.timeoutSeconds);
            child.kill();
            child.waitForFinished(5000);
            ++failures;
            continue;
        }
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            std::printf("ERROR: %s failed (exit %d)\n", item.mode, child.exitCode());
            ++failures;
        }
        std::printf("  [%s took %.1f s]\n", item.mode, double(timer.elapsed()) / 1000);
        std::fflush(stdout);
    }
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir config;
    if (!config.isValid()) {
        std::fprintf(stderr, "cannot make a configuration folder: %s\n", qPrintable(config.errorString()));
        return EXIT_FAILURE;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // The room's threads run on the event dispatcher the programs choose.
    TAVIXLibCtl::preferLeanEventLoop();
    const Args args = parse(argc, argv);
    if (args.mode == "log" && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The log needs widgets; the rest only an event loop.
    const std::unique_ptr<QCoreApplication> app(args.mode == "log" ? new QApplication(argc, argv)
                                                                   : new QCoreApplication(argc, argv));
    bool ok = false;
    if (args.mode == "all") {
        return runAll(argc, argv, args);
    } else if (args.mode == "fanout") {
        ok = runFanoutItems(args);
    } else if (args.mode == "processes") {
        ok = bench::runFanout(fanoutOptions(args, true));
    } else if (args.mode == "join") {
        ok = bench::runJoin(args.number("joins", 200, 5));
        ok = bench::runJoin(args.number("joins", 200, 5), {}, QStringLiteral("ひらけごま")) && ok;
        ok = bench::runKeyMaking(args.number("key-runs", 20, 2)) && ok;
    } else if (args.mode == "log") {
        ok = bench::runLog(args.number("log-lines", 100000, 2000));
        ok = bench::runLogTurns(args.number("log-turn-lines", 100000, 200)) && ok;
    } else if (args.mode == "startup") {
        ok = bench::runStartup(args.number("runs", 10, 1), args.number("startup-lines", 100000, 200), args.smoke);
    } else if (args.mode == "idle") {
        ok = bench::runIdle(args.number("idle-seconds", 60, 1));
    } else if (args.mode == "crowd") {
        ok = runCrowds(args.number("crowd-joins", 40, 3), args.number("crowd-sockets", 200, 30));
    } else if (args.mode == "renames") {
        ok = bench::runRenameFlood(args.number("rename-seconds", 10, 1));
    } else if (args.mode == "stall") {
        ok = bench::runStall(args.number("stall-runs", 3, 1));
    } else {
        std::fprintf(stderr, "unknown item %s: all, fanout, processes, join, log, startup, idle, crowd, "
                             "renames or stall\n",
                     args.mode.c_str());
        return EXIT_FAILURE;
    }
    std::fflush(stdout);
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
