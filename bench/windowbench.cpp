// The window's items: the log in this process, start-up and idle through
// tavix_window_probe.

#include "items.h"

#include "form1.h"
#include "gorvel.h"
#include "measure.h"
#include "memberkeys.h"
#include "rawmember.h"
#include "room.h"
#include "windowlog.h"

#include <algorithm>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTimer>

#include <cstdio>
#include <map>

using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

namespace bench {

namespace {

double ms(std::int64_t ns)
{
    return double(ns) / 1e6;
}

double mib(std::int64_t kb)
{
    return double(kb) / 1024;
}

// A room control that is in no room but names its member, so that each
// DataChanged becomes a 40-character log line: "member1 > " and 30 more.
class NamingGorvel : public TAVIXLibCtl::Gorvel
{
public:
    QString GetMemberData(qint16, const QString &key) const override
    {
        if (key == MemberKeys::Name)
            return QStringLiteral("member1");
        return key == MemberKeys::Presence ? MemberKeys::Present : QString();
    }
};

// A shown window whose room control names its member, and the lines to log,
// made beforehand so that only the window's work is timed.
struct LogWindow
{
    NamingGorvel *component = new NamingGorvel;
    Form1 window{component, 0};
    std::vector<QString> values;

    explicit LogWindow(int lines)
    {
        window.show();
        QCoreApplication::processEvents();
        for (int i = 0; i < lines; ++i)
            values.push_back(lineText(i));
    }

    static QString lineText(int i)
    {
        return QStringLiteral("line %1 of the bench log..").arg(i, 6, 10, QLatin1Char('0'));
    }

    void addLine(int i) { emit component->DataChanged(1, 0, MemberKeys::Chat, values[std::size_t(i)]); }

    // The newest lines are in the log, as many as it keeps, the last one
    // whole (the first block is the empty one a log starts with).
    bool holds(int lines) const
    {
        const QTextDocument *doc = window.chat->document();
        const QString last = doc->lastBlock().text();
        if (doc->blockCount() == std::min(lines + 1, int(Form1::MaxLogLines)) && last.size() == kLineLength
            && last.endsWith(lineText(lines - 1)))
            return true;
        std::printf("  ERROR: the log holds %d blocks, the last \"%s\"\n", doc->blockCount(), qPrintable(last));
        return false;
    }
};

// Times `lines` calls of `addLine(i)` and prints the total and the cost per
// line over the first and the last tenth (at most 10,000 lines each), by the
// clock and in this thread's CPU time, which a busy machine disturbs less.
template <typename AddLine>
void timeLines(int lines, AddLine &&addLine)
{
    struct Stamp
    {
        std::int64_t wall = nowNs();
        std::int64_t cpu = threadCpuNs(pthread_self());
    };
    const int block = std::max(1, std::min(10000, lines / 10));
    const Stamp start;
    Stamp firstEnd, lastStart;
    for (int i = 0; i < lines; ++i) {
        if (i == lines - block)
            lastStart = Stamp();
        addLine(i);
        if (i == block - 1)
            firstEnd = Stamp();
    }
    const Stamp end;
    auto row = [](const std::string &name, const Stamp &from, const Stamp &to, int count, double scale,
                  const char *unit) {
        std::printf("  %-34s %10.2f %s (CPU %.2f %s)\n", name.c_str(), double(to.wall - from.wall) / count / scale,
                    unit, double(to.cpu - from.cpu) / count / scale, unit);
    };
    row("total", start, end, 1, 1e6, "ms");
    row("per line, first " + std::to_string(block), start, firstEnd, block, 1e3, "us");
    row("per line, last " + std::to_string(block), lastStart, end, block, 1e3, "us");
    std::printf("  %-34s %10.2fx  (CPU %.2fx)\n", "last / first",
                double(end.wall - lastStart.wall) / double(firstEnd.wall - start.wall),
                double(end.cpu - lastStart.cpu) / double(firstEnd.cpu - start.cpu));
}

QProcessEnvironment offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// Runs the probe to its end within `timeoutMs`, this thread's event loop
// turning meanwhile; the key=value lines it printed, or none when it failed.
std::map<QString, qint64> runProbe(const QStringList &args, int timeoutMs, std::int64_t *startNs,
                                   const QProcessEnvironment &env = offscreen())
{
    QProcess probe;
    probe.setProcessEnvironment(env);
    *startNs = nowNs();
    probe.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_window_probe"), args);
    QEventLoop loop;
    QObject::connect(&probe, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&probe, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (probe.state() != QProcess::NotRunning)
        loop.exec();
    if (probe.state() != QProcess::NotRunning) {
        probe.kill();
        probe.waitForFinished(5000);
        std::printf("  ERROR: the probe did not finish within %d ms\n", timeoutMs);
        return {};
    }
    const QByteArray out = probe.readAllStandardOutput();
    std::map<QString, qint64> values;
    for (const QByteArray &line : out.split('\n')) {
        if (const int eq = line.indexOf('='); eq > 0)
            values[QString::fromUtf8(line.left(eq))] = line.mid(eq + 1).toLongLong();
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0 || values.count(QStringLiteral("error"))) {
        std::printf("  ERROR: the probe failed (exit %d): %s %s\n", probe.exitCode(), out.constData(),
                    probe.readAllStandardError().constData());
        return {};
    }
    return values;
}

// A room hosted in this process for the probe to join.
bool hostOnAnyPort(Room &host)
{
    host.setPort(0);
    host.setData(MemberKeys::Name, QStringLiteral("host"));
    host.openServer();
    if (host.boundPort() == 0)
        std::printf("  ERROR: the host could not listen\n");
    return host.boundPort() != 0;
}

bool runStartupOn(const char *platform, const QProcessEnvironment &env, int runs, int lines, bool smoke)
{
    std::printf("\n== start-up (%s): process start to the window's first paint, %d runs ==\n", platform, runs);
    std::vector<double> total, toMain, mainToPaint;
    std::int64_t start = 0;
    // One unmeasured run first, so every measured one finds the libraries cached.
    for (int i = smoke ? 0 : -1; i < runs; ++i) {
        const auto v = runProbe({}, 20000, &start, env);
        if (v.empty())
            return false;
        if (i < 0)
            continue;
        total.push_back(ms(v.at(QStringLiteral("painted_ns")) - start));
        toMain.push_back(ms(v.at(QStringLiteral("main_ns")) - start));
        mainToPaint.push_back(ms(v.at(QStringLiteral("painted_ns")) - v.at(QStringLiteral("main_ns"))));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    const auto [least, most] = std::minmax_element(total.begin(), total.end());
    std::printf("  start to first paint, median        %10.1f ms  (min %.1f, max %.1f)\n", median(total), *least,
                *most);
    std::printf("    of which start to main()          %10.1f ms\n", median(toMain));
    std::printf("    of which main() to first paint    %10.1f ms\n", median(mainToPaint));

    auto v = runProbe({QStringLiteral("--settle"), QStringLiteral("1000")}, 20000, &start, env);
    if (v.empty())
        return false;
    std::printf("  idle window, 1 s after first paint: VmRSS %.1f MiB, VmHWM %.1f MiB\n",
                mib(v.at(QStringLiteral("rss_kb"))), mib(v.at(QStringLiteral("hwm_kb"))));
    v = runProbe({QStringLiteral("--lines"), QString::number(lines)}, 300000, &start, env);
    if (v.empty())
        return false;
    std::printf("  after %d log lines, one per turn:  VmRSS %.1f MiB, VmHWM %.1f MiB (%.0f ms to log and show "
                "them)\n",
                lines, mib(v.at(QStringLiteral("rss_kb"))), mib(v.at(QStringLiteral("hwm_kb"))),
                ms(v.at(QStringLiteral("lines_ns"))));
    return true;
}

} // namespace

bool runLog(int lines)
{
    std::printf("\n== the log: AddChat of %d lines of 40 characters in one turn, offscreen ==\n", lines);
    LogWindow log(lines);
    const std::int64_t rssBefore = procStatus("VmRSS");
    timeLines(lines, [&](int i) { log.addLine(i); });
    // The window then shows and paints the end of the log once.
    const std::int64_t t1 = nowNs();
    QCoreApplication::processEvents();
    std::printf("  then painting the window            %10.1f ms\n", ms(nowNs() - t1));
    log.values.clear();
    log.values.shrink_to_fit();
    std::printf("  resident after (VmRSS)              %10.1f MiB (%.1f MiB before the lines)\n",
                mib(procStatus("VmRSS")), mib(rssBefore));
    std::printf("  peak resident (VmHWM)               %10.1f MiB\n", mib(procStatus("VmHWM")));
    return log.holds(lines);
}

bool runLogTurns(int lines)
{
    // As lines arrive in a room: each in an event-loop turn of its own, so
    // the window may also lay out, scroll and repaint between them. Resident
    // memory after the lines: see the start-up item, whose probe starts clean.
    std::printf("\n== the log, one line per event-loop turn: %d lines, offscreen ==\n", lines);
    LogWindow log(lines);
    // Counts the log's paints.
    struct : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } painted;
    log.window.chat->viewport()->installEventFilter(&painted);

    const std::int64_t t0 = nowNs();
    timeLines(lines, [&](int i) {
        log.addLine(i);
        QCoreApplication::processEvents();
    });
    // Whatever the window put off until later, then a paint.
    const std::int64_t t1 = nowNs();
    const QDeadlineTimer deadline(10000);
    while (!logShowsNewest(log.window) && !deadline.hasExpired())
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const std::int64_t t2 = nowNs();
    std::printf("  then showing the newest line        %10.1f ms\n", ms(t2 - t1));
    std::printf("  paints of the log                   %10d (one per %.1f ms)\n", painted.paints,
                ms(t2 - t0) / std::max(1, painted.paints));
    if (!logShowsNewest(log.window)) {
        std::printf("  ERROR: the newest line is not in view\n");
        return false;
    }
    return log.holds(lines);
}

bool runStartup(int runs, int lines, bool smoke)
{
    bool ok = runStartupOn("offscreen", offscreen(), runs, lines, smoke);
    const char *const xcb = "X11 (xcb) under Xvfb";
    if (smoke) {
        std::printf("\n== start-up (%s): skipped in smoke mode ==\n", xcb);
        return ok;
    }
    // An X server of the bench's own, as the shipped program meets one:
    // -displayfd 1 picks a free display and, once ready, prints its number.
    QProcess xvfb;
    xvfb.setStandardErrorFile(QProcess::nullDevice());
    xvfb.start(QStandardPaths::findExecutable(QStringLiteral("Xvfb")),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    const QDeadlineTimer deadline(10000);
    while (!xvfb.canReadLine() && xvfb.state() != QProcess::NotRunning && !deadline.hasExpired())
        xvfb.waitForReadyRead(int(deadline.remainingTime()));
    if (xvfb.canReadLine()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), u':' + QString::fromLatin1(xvfb.readLine().trimmed()));
        ok = runStartupOn(xcb, env, runs, lines, false) && ok;
    } else {
        std::printf("\n== start-up (%s): skipped, Xvfb is missing or did not start ==\n", xcb);
    }
    xvfb.terminate();
    if (!xvfb.waitForFinished(5000))
        xvfb.kill();
    return ok;
}

bool runIdle(int seconds)
{
    std::printf("\n== a window idle in a room for %d s (joined to a host in another process) ==\n", seconds);
    Room host;
    if (!hostOnAnyPort(host))
        return false;
    std::int64_t start = 0;
    const auto v = runProbe({QStringLiteral("--join"), QString::number(host.boundPort()), QStringLiteral("--idle"),
                             QString::number(seconds)},
                            (seconds + 30) * 1000, &start);
    host.closeConnection();
    if (v.empty())
        return false;
    const double secs = double(v.at(QStringLiteral("idle_ns"))) / 1e9;
    const double user = ms(v.at(QStringLiteral("idle_user_ns")));
    const double sys = ms(v.at(QStringLiteral("idle_sys_ns")));
    const auto switches = v.at(QStringLiteral("idle_voluntary_switches"));
    std::printf("  CPU over %.1f s                      %10.1f ms (user %.1f, system %.1f)\n", secs, user + sys, user,
                sys);
    std::printf("  CPU share                           %10.4f %%\n", (user + sys) / (secs * 1000) * 100);
    std::printf("  voluntary context switches          %10lld (%.2f/s)\n", (long long)switches,
                double(switches) / secs);
    std::printf("  resident after (VmRSS)              %10.1f MiB\n", mib(v.at(QStringLiteral("rss_kb"))));
    if (v.at(QStringLiteral("idle_state")) != int(Room::State::Joined)) {
        std::printf("  ERROR: the window left the room while idle\n");
        return false;
    }
    return true;
}

bool runRenameFlood(int seconds)
{
    std::printf("\n== a window in a room where a member renames itself without pause, 32767-unit names, %d s ==\n",
                seconds);
    Room host;
    if (!hostOnAnyPort(host))
        return false;
    // Once the window is in, the flooder joins and renames as fast as its link takes it.
    std::unique_ptr<RawMember> flooder;
    QTimer flood;
    qint64 sent = 0;
    int relayed = 0;
    QObject::connect(&host, &Room::dataChanged, &host, [&](int slot, const QString &key, const QString &value) {
        if (key == MemberKeys::Name)
            ++relayed;
        if (flooder || slot != 1 || key != MemberKeys::Presence || value != MemberKeys::Present)
            return;
        flooder = std::make_unique<RawMember>(QHostAddress::LocalHost, host.boundPort(), QStringLiteral("R"), [&] {
            flood.start(1);
        });
    });
    QObject::connect(&flood, &QTimer::timeout, &flood, [&] {
        while (flooder->socket.bytesToWrite() < 1024 * 1024)
            flooder->send(TAVIXLibCtl::Wire::Message::set(MemberKeys::Name, QString(32767, sent++ % 2 ? u'a' : u'b')));
    });
    std::int64_t start = 0;
    const auto v = runProbe({QStringLiteral("--join"), QString::number(host.boundPort()), QStringLiteral("--idle"),
                             QString::number(seconds)},
                            (seconds + 30) * 1000, &start);
    flood.stop();
    host.closeConnection();
    if (v.empty())
        return false;
    std::printf("  renames sent %lld, relayed %d\n", (long long)sent, relayed);
    std::printf("  the window's peak resident (VmHWM)  %10.1f MiB, resident after (VmRSS) %.1f MiB\n",
                mib(v.at(QStringLiteral("hwm_kb"))), mib(v.at(QStringLiteral("rss_kb"))));
    return true;
}

} // namespace bench
