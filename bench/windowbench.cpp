#include "items.h"

#include "form1.h"
#include "gorvel.h"
#include "windowlog.h"
#include "memberkeys.h"
#include "room.h"
#include "measure.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using TAVIXLibCtl::Gorvel;
using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

namespace bench {

namespace {

// A room control that is in no room but names its member, so that each
// DataChanged becomes a 40-character log line: "member1 > " and 30 more.
class NamingGorvel : public Gorvel
{
public:
    QString GetMemberData(qint16, const QString &key) const override
    {
        if (key == MemberKeys::Name)
            return QStringLiteral("member1");
        if (key == MemberKeys::Presence)
            return MemberKeys::Present;
        return {};
    }
};

double msOf(std::int64_t ns)
{
    return double(ns) / 1e6;
}

QString probePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_window_probe");
}

QProcessEnvironment offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// An X server of the bench's own, as the shipped program meets one.
class Xvfb
{
public:
    ~Xvfb()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(5000)) {
                m_server.kill();
                m_server.waitForFinished(5000);
            }
        }
    }

    // Starts it on a free display; the display's name, or empty when Xvfb
    // is missing or did not start.
    QString start()
    {
        const QString path = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (path.isEmpty())
            return {};
        // -displayfd 1: it picks a free display and, once ready, prints its
        // number on its standard output.
        m_server.setStandardErrorFile(QProcess::nullDevice());
        m_server.start(path, {QStringLiteral("-displayfd"), QStringLiteral("1"),
                              QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp")});
        QDeadlineTimer deadline(10000);
        while (!m_server.canReadLine() && m_server.state() != QProcess::NotRunning
               && !deadline.hasExpired())
            m_server.waitForReadyRead(int(deadline.remainingTime()));
        if (!m_server.canReadLine())
            return {};
        return u':' + QString::fromLatin1(m_server.readLine().trimmed());
    }

private:
    QProcess m_server;
};

std::map<QString, qint64> parseValues(const QByteArray &output)
{
    std::map<QString, qint64> values;
    for (const QByteArray &line : output.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values[QString::fromUtf8(line.left(eq))] = line.mid(eq + 1).toLongLong();
    }
    return values;
}

// Runs the probe to its end, within `timeoutMs`; the probe's values, or an
// empty map when it failed.
std::map<QString, qint64> runProbe(const QStringList &args, int timeoutMs, std::int64_t *startNs,
                                   const QProcessEnvironment &env = offscreen())
{
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.setProcessChannelMode(QProcess::SeparateChannels);
    *startNs = nowNs();
    probe.start(probePath(), args);
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
    const auto values = parseValues(out);
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0
        || values.count(QStringLiteral("error"))) {
        std::printf("  ERROR: the probe failed (exit %d): %s %s\n", probe.exitCode(),
                    out.constData(), probe.readAllStandardError().constData());
        return {};
    }
    return values;
}

} // namespace

namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// A shown window whose room control names its member, as the log items use it.
struct LogWindow
{
    NamingGorvel *component = new NamingGorvel;
    Form1 window{component, 0};

    LogWindow()
    {
        window.show();
        QCoreApplication::processEvents();
    }

    void addLine(const QString &value) { emit component->DataChanged(1, 0, MemberKeys::Chat, value); }

    bool showsNewest() const { return logShowsNewest(window); }

    // All lines are in the log, the last one whole.
    bool holds(int lines) const
    {
        const QTextDocument *doc = window.chat->document();
        const QString last = doc->lastBlock().text();
        if (doc->blockCount() == lines + 1 && last.size() == kLineLength)
            return true;
        std::printf("  ERROR: the log holds %d blocks, the last \"%s\"\n", doc->blockCount(),
                    qPrintable(last));
        return false;
    }
};

// Made beforehand, so that only the window's work is timed.
std::vector<QString> logValues(int lines)
{
    std::vector<QString> values;
    values.reserve(size_t(lines));
    for (int i = 0; i < lines; ++i)
        values.push_back(QStringLiteral("line %1 of the bench log..").arg(i, 6, 10, QLatin1Char('0')));
    return values;
}

std::int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Times `lines` calls of `addLine(i)` and prints the total and the cost per
// line over the first and the last tenth (at most 10,000 lines each), by the
// clock and in this thread's CPU time, which a busy machine disturbs less.
template <typename AddLine>
void timeLines(int lines, AddLine &&addLine)
{
    struct Stamp
    {
        std::int64_t wall = nowNs();
        std::int64_t cpu = threadCpuNs();
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
    auto row = [](const char *name, std::int64_t wall, std::int64_t cpu, int count, double scale,
                       const char *unit) {
        std::printf("  %-34s %10.2f %s (CPU %.2f %s)\n", name, double(wall) / count / scale, unit,
                    double(cpu) / count / scale, unit);
    };
    row("total", end.wall - start.wall, end.cpu - start.cpu, 1, 1e6, "ms");
    const std::string first = "per line, first " + std::to_string(block);
    const std::string last = "per line, last " + std::to_string(block);
    row(first.c_str(), firstEnd.wall - start.wall, firstEnd.cpu - start.cpu, block, 1e3, "us");
    row(last.c_str(), end.wall - lastStart.wall, end.cpu - lastStart.cpu, block, 1e3, "us");
    std::printf("  %-34s %10.2fx  (CPU %.2fx)\n", "last / first",
                double(end.wall - lastStart.wall) / double(firstEnd.wall - start.wall),
                double(end.cpu - lastStart.cpu) / double(firstEnd.cpu - start.cpu));
}

void printResident(std::int64_t rssBeforeKb)
{
    std::printf("  resident after (VmRSS)              %10.1f MiB (%.1f MiB before the lines)\n",
                double(procStatus("VmRSS")) / 1024, double(rssBeforeKb) / 1024);
    std::printf("  peak resident (VmHWM)               %10.1f MiB\n", double(procStatus("VmHWM")) / 1024);
}

} // namespace

bool runLog(int lines)
{
    std::printf("\n== the log: AddChat of %d lines of 40 characters in one turn, offscreen ==\n", lines);
    LogWindow log;
    std::vector<QString> values = logValues(lines);
    const std::int64_t rssBefore = procStatus("VmRSS");

    timeLines(lines, [&](int i) { log.addLine(values[size_t(i)]); });
    // The window then shows and paints the end of the log once.
    const std::int64_t t1 = nowNs();
    QCoreApplication::processEvents();
    std::printf("  then painting the window            %10.1f ms\n", msOf(nowNs() - t1));
    values.clear();
    values.shrink_to_fit();
    printResident(rssBefore);
    return log.holds(lines);
}

bool runLogTurns(int lines)
{
    // As lines arrive in a room: each in an event-loop turn of its own, so
    // the window may also lay out, scroll and repaint between them.
    std::printf("\n== the log, one line per event-loop turn: %d lines, offscreen ==\n", lines);
    LogWindow log;
    // Resident memory after the lines: see the start-up item, whose probe
    // starts clean.
    std::vector<QString> values = logValues(lines);
    PaintCounter painted(log.window.chat->viewport());

    const std::int64_t t0 = nowNs();
    timeLines(lines, [&](int i) {
        log.addLine(values[size_t(i)]);
        QCoreApplication::processEvents();
    });
    // Whatever the window put off until later, then a paint.
    const std::int64_t t1 = nowNs();
    QDeadlineTimer deadline(10000);
    while (!log.showsNewest() && !deadline.hasExpired())
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const std::int64_t t2 = nowNs();
    std::printf("  then showing the newest line        %10.1f ms\n", msOf(t2 - t1));
    std::printf("  paints of the log                   %10d (one per %.1f ms)\n", painted.paints,
                msOf(t2 - t0) / std::max(1, painted.paints));
    if (!log.showsNewest()) {
        std::printf("  ERROR: the newest line is not in view\n");
        return false;
    }
    return log.holds(lines);
}

namespace {

double mibOf(qint64 kb)
{
    return double(kb) / 1024;
}

bool runStartupOn(const char *platform, const QProcessEnvironment &env, int runs, int lines,
                  bool smoke)
{
    std::printf("\n== start-up (%s): process start to the window's first paint, %d runs ==\n",
                platform, runs);
    std::vector<double> total, toMain, mainToPaint;
    std::int64_t start = 0;
    // One unmeasured run first, so every measured one finds the libraries cached.
    for (int i = smoke ? 0 : -1; i < runs; ++i) {
        const auto v = runProbe({}, 20000, &start, env);
        if (v.empty())
            return false;
        if (i < 0)
            continue;
        total.push_back(msOf(v.at(QStringLiteral("painted_ns")) - start));
        toMain.push_back(msOf(v.at(QStringLiteral("main_ns")) - start));
        mainToPaint.push_back(msOf(v.at(QStringLiteral("painted_ns")) - v.at(QStringLiteral("main_ns"))));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    std::printf("  start to first paint, median        %10.1f ms  (min %.1f, max %.1f)\n",
                median(total), *std::min_element(total.begin(), total.end()),
                *std::max_element(total.begin(), total.end()));
    std::printf("    of which start to main()          %10.1f ms\n", median(toMain));
    std::printf("    of which main() to first paint    %10.1f ms\n", median(mainToPaint));

    auto v = runProbe({QStringLiteral("--settle"), QStringLiteral("1000")}, 20000, &start, env);
    if (v.empty())
        return false;
    std::printf("  idle window, 1 s after first paint: VmRSS %.1f MiB, VmHWM %.1f MiB\n",
                mibOf(v.at(QStringLiteral("rss_kb"))), mibOf(v.at(QStringLiteral("hwm_kb"))));

    v = runProbe({QStringLiteral("--lines"), QString::number(lines)}, 300000, &start, env);
    if (v.empty())
        return false;
    std::printf("  after %d log lines, one per turn:  VmRSS %.1f MiB, VmHWM %.1f MiB (%.0f ms to "
                "log and show them)\n",
                lines, mibOf(v.at(QStringLiteral("rss_kb"))), mibOf(v.at(QStringLiteral("hwm_kb"))),
                msOf(v.at(QStringLiteral("lines_ns"))));
    return true;
}

} // namespace

bool runStartup(int runs, int lines, bool smoke)
{
    bool ok = runStartupOn("offscreen", offscreen(), runs, lines, smoke);
    const char *const xcb = "X11 (xcb) under Xvfb";
    if (smoke) {
        std::printf("\n== start-up (%s): skipped in smoke mode ==\n", xcb);
        return ok;
    }
    Xvfb server;
    const QString display = server.start();
    if (display.isEmpty()) {
        std::printf("\n== start-up (%s): skipped, Xvfb is missing or did not start ==\n", xcb);
        return ok;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display);
    return runStartupOn(xcb, env, runs, lines, false) && ok;
}

bool runIdle(int seconds)
{
    std::printf("\n== a window idle in a room for %d s (joined to a host in another process) ==\n",
                seconds);
    Room host;
    host.setPort(0);
    host.setData(MemberKeys::Name, QStringLiteral("host"));
    host.openServer();
    if (host.boundPort() == 0) {
        std::printf("  ERROR: the host could not listen\n");
        return false;
    }
    std::int64_t start = 0;
    const auto v = runProbe({QStringLiteral("--join"), QString::number(host.boundPort()),
                             QStringLiteral("--idle"), QString::number(seconds)},
                            (seconds + 30) * 1000, &start);
    host.closeConnection();
    if (v.empty())
        return false;
    const double secs = double(v.at(QStringLiteral("idle_ns"))) / 1e9;
    const double user = msOf(v.at(QStringLiteral("idle_user_ns")));
    const double sys = msOf(v.at(QStringLiteral("idle_sys_ns")));
    std::printf("  CPU over %.1f s                      %10.1f ms (user %.1f, system %.1f)\n", secs,
                user + sys, user, sys);
    std::printf("  CPU share                           %10.4f %%\n", (user + sys) / (secs * 1000) * 100);
    std::printf("  voluntary context switches          %10lld (%.2f/s)\n",
                (long long)v.at(QStringLiteral("idle_voluntary_switches")),
                double(v.at(QStringLiteral("idle_voluntary_switches"))) / secs);
    std::printf("  resident after (VmRSS)              %10.1f MiB\n",
                double(v.at(QStringLiteral("rss_kb"))) / 1024);
    if (v.at(QStringLiteral("idle_state")) != int(Room::State::Joined)) {
        std::printf("  ERROR: the window left the room while idle\n");
        return false;
    }
    return true;
}

} // namespace bench
