#pragma once

// tavix-room as a separate process, its output split into lines as it comes,
// and the log lines it prints.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/prctl.h>

namespace RoomProcess {

inline constexpr int kDeadPeerMs = 1500; // the stall bound too
inline constexpr int kHandshakeMs = 1500;
inline const QStringList kFast{QStringLiteral("--dead-peer-ms"), QString::number(kDeadPeerMs),
                               QStringLiteral("--handshake-ms"), QString::number(kHandshakeMs)};

inline QString arrived(const QString &name) { return name + QStringLiteral("さん が　きました"); }
inline QString left(const QString &name) { return name + QStringLiteral("さん が　いなくなりました"); }
inline QString said(const QString &name, const QString &text) { return name + QStringLiteral(" > ") + text; }

// One running tavix-room, its output split into lines as it comes.
class Tool
{
public:
    // `launcher` runs the tool elsewhere, e.g. {"ip", "netns", "exec", NS}.
    explicit Tool(const QStringList &args, const QStringList &launcher = {})
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            out += process.readAllStandardOutput();
            qsizetype start = 0;
            for (qsizetype nl; (nl = out.indexOf('\n', start)) >= 0; start = nl + 1) {
                const QByteArrayView line(out.constData() + start, nl - start);
                if (!countOnly.isEmpty() && line.startsWith(countOnly)) {
                    ++counted;
                    continue;
                }
                lines << QString::fromUtf8(line);
                if (onLine)
                    onLine(lines.last());
            }
            out.remove(0, start);
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += QString::fromUtf8(process.readAllStandardError()); });
        // The tool dies with the test, even when a timeout kills the test.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QStringList command = launcher + QStringList{QStringLiteral(TAVIX_ROOM_TOOL)} + args + kFast;
        process.start(command.first(), command.mid(1));
    }
    ~Tool()
    {
        onLine = nullptr; // what it watched for may be gone already
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    static std::unique_ptr<Tool> host(int size = 5, const QString &name = QStringLiteral("H"),
                                      const QStringList &launcher = {})
    {
        return std::make_unique<Tool>(QStringList{QStringLiteral("host"), QStringLiteral("--port"),
                                                  QStringLiteral("0"), QStringLiteral("--size"),
                                                  QString::number(size), QStringLiteral("--name"), name},
                                      launcher);
    }
    static std::unique_ptr<Tool> join(quint16 port, const QString &name,
                                      const QString &address = QStringLiteral("127.0.0.1"),
                                      const QStringList &launcher = {})
    {
        return std::make_unique<Tool>(QStringList{QStringLiteral("join"), address, QStringLiteral("--port"),
                                                  QString::number(port), QStringLiteral("--name"), name},
                                      launcher);
    }
    quint16 port() const
    {
        static const QRegularExpression re(QStringLiteral("listening on port (\\d+)"));
        const auto m = re.match(err);
        return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
    }
    bool has(const QString &line) const { return lines.contains(line); }
    bool running() const { return process.state() != QProcess::NotRunning; }
    void signal(int sig) const { ::kill(pid_t(process.processId()), sig); }
    // Peak resident memory, from the kernel's own count.
    qint64 peakKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }

    QProcess process;
    QStringList lines;
    QByteArray out;
    QString err;
    // Lines that begin with this are only counted: a flood would fill memory.
    QByteArray countOnly;
    qint64 counted = 0;
    std::function<void(const QString &)> onLine; // for every line kept
};

// Keeps a tool's input full of chat lines, as fast as it takes them.
class InputFlood
{
public:
    explicit InputFlood(QProcess &process)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &process, [&process, this] {
            if (process.bytesToWrite() < m_block.size())
                process.write(m_block);
        });
        m_timer.start(1);
    }
    void stop() { m_timer.stop(); }

private:
    QTimer m_timer;
    const QByteArray m_block = QByteArray("flood line of some forty bytes......\n").repeated(4096);
};

} // namespace RoomProcess
