#pragma once

// tavix-room as a separate process, its output split into lines as it comes,
// and the log lines it prints.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <memory>

namespace RoomProcess {

inline constexpr int kDeadPeerMs = 1500;
inline const QStringList kFast{QStringLiteral("--dead-peer-ms"), QString::number(kDeadPeerMs),
                               QStringLiteral("--handshake-ms"), QStringLiteral("1500")};

inline QString arrived(const QString &name) { return name + QStringLiteral("さん が　きました"); }
inline QString left(const QString &name) { return name + QStringLiteral("さん が　いなくなりました"); }
inline QString said(const QString &name, const QString &text) { return name + QStringLiteral(" > ") + text; }

// One running tavix-room, its output split into lines as it comes.
class Tool
{
public:
    explicit Tool(const QStringList &args)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            out += process.readAllStandardOutput();
            qsizetype nl;
            while ((nl = out.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(out.left(nl));
                out.remove(0, nl + 1);
            }
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += QString::fromUtf8(process.readAllStandardError()); });
        process.start(QStringLiteral(TAVIX_ROOM_TOOL), args + kFast);
    }
    ~Tool()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    static std::unique_ptr<Tool> host(int size = 5, const QString &name = QStringLiteral("H"))
    {
        return std::make_unique<Tool>(QStringList{QStringLiteral("host"), QStringLiteral("--port"),
                                                  QStringLiteral("0"), QStringLiteral("--size"),
                                                  QString::number(size), QStringLiteral("--name"), name});
    }
    static std::unique_ptr<Tool> join(quint16 port, const QString &name)
    {
        return std::make_unique<Tool>(QStringList{QStringLiteral("join"), QStringLiteral("127.0.0.1"),
                                                  QStringLiteral("--port"), QString::number(port),
                                                  QStringLiteral("--name"), name});
    }
    quint16 port() const
    {
        static const QRegularExpression re(QStringLiteral("listening on port (\\d+)"));
        const auto m = re.match(err);
        return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
    }
    bool has(const QString &line) const { return lines.contains(line); }
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
