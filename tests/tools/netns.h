#pragma once

// Two network namespaces joined by a veth pair, for tests that need a
// network of their own. Needs root and iproute2.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <unistd.h>

namespace RoomProcess {

// A user's PATH may leave out the system's own folders.
inline QString findTool(const QString &name)
{
    const QString onPath = QStandardPaths::findExecutable(name);
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

// Two network namespaces of this run, the room's and one member's, joined by
// a veth pair on addresses that exist only inside them. All of it goes with
// this object.
class Net
{
public:
    Net()
    {
        if (::geteuid() != 0) {
            skipReason = QStringLiteral("making network namespaces needs root");
            return;
        }
        m_ip = findTool(QStringLiteral("ip"));
        m_tc = findTool(QStringLiteral("tc"));
        if (m_ip.isEmpty() || m_tc.isEmpty()) {
            skipReason = QStringLiteral("ip(8) and tc(8) not found: install iproute2 (scripts/setup.sh --tests)");
            return;
        }
        removeLeftovers();
        const QString pid = QString::number(::getpid());
        m_roomNs = QStringLiteral("tavix-%1-room").arg(pid);
        m_memberNs = QStringLiteral("tavix-%1-member").arg(pid);
        m_roomLink = QStringLiteral("tvx%1r").arg(pid);
        m_memberLink = QStringLiteral("tvx%1m").arg(pid);
        const QString subnet = QStringLiteral("10.213.%1.").arg(::getpid() % 256);
        roomAddress = subnet + u'1';
        memberAddress = subnet + u'2';
        for (const QString &ns : {m_roomNs, m_memberNs}) {
            if (!ip(QStringLiteral("netns add ") + ns)) {
                skipReason = QStringLiteral("cannot make a network namespace: ") + error;
                return;
            }
            m_made << ns;
        }
        const QStringList steps{
            QStringLiteral("link add %1 netns %2 type veth peer name %3 netns %4")
                .arg(m_roomLink, m_roomNs, m_memberLink, m_memberNs),
            QStringLiteral("-n %1 addr add %2/24 dev %3").arg(m_roomNs, roomAddress, m_roomLink),
            QStringLiteral("-n %1 addr add %2/24 dev %3").arg(m_memberNs, memberAddress, m_memberLink),
            QStringLiteral("-n %1 link set lo up").arg(m_roomNs),
            QStringLiteral("-n %1 link set lo up").arg(m_memberNs),
            QStringLiteral("-n %1 link set %2 up").arg(m_roomNs, m_roomLink),
            QStringLiteral("-n %1 link set %2 up").arg(m_memberNs, m_memberLink),
        };
        for (const QString &step : steps) {
            if (!ip(step))
                return;
        }
        error.clear();
    }
    ~Net()
    {
        // The veth pair goes with its namespaces.
        for (const QString &ns : std::as_const(m_made))
            ip(QStringLiteral("netns del ") + ns);
    }
    Net(const Net &) = delete;
    Net &operator=(const Net &) = delete;

    bool ready() const { return skipReason.isEmpty() && error.isEmpty(); }
    QStringList inRoom() const { return {m_ip, QStringLiteral("netns"), QStringLiteral("exec"), m_roomNs}; }
    QStringList inMember() const { return {m_ip, QStringLiteral("netns"), QStringLiteral("exec"), m_memberNs}; }
    QString roomLink() const { return m_roomLink; }
    QString memberLink() const { return m_memberLink; }
    // The member's cable pulled, and plugged in again.
    bool cut() { return ip(QStringLiteral("-n %1 link set %2 down").arg(m_memberNs, m_memberLink)); }
    bool mend() { return ip(QStringLiteral("-n %1 link set %2 up").arg(m_memberNs, m_memberLink)); }
    // What the room sends the member leaves at 64 kbit/s.
    bool slow()
    {
        return run(m_tc, QStringLiteral("-n %1 qdisc add dev %2 root tbf rate 64kbit burst 4kb latency 100ms")
                             .arg(m_roomNs, m_roomLink));
    }

    QString roomAddress;
    QString memberAddress;
    QString skipReason; // this machine cannot do it
    QString error;      // the last command that failed, and why

private:
    bool ip(const QString &command, QByteArray *output = nullptr) { return run(m_ip, command, output); }
    bool run(const QString &program, const QString &command, QByteArray *output = nullptr)
    {
        QProcess p;
        p.start(program, command.split(u' '));
        const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (output)
            *output = p.readAllStandardOutput();
        if (!ok) {
            const QString why = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
            error = QStringLiteral("%1 %2: %3").arg(program, command, why);
        }
        return ok;
    }
    // A run killed by a timeout leaves its namespaces behind, named after a
    // process that is gone.
    void removeLeftovers()
    {
        static const QRegularExpression ours(QStringLiteral("^(tavix-(\\d+)-\\S+)"));
        QByteArray list;
        ip(QStringLiteral("netns list"), &list);
        for (const QByteArray &line : list.split('\n')) {
            const auto m = ours.match(QString::fromUtf8(line));
            if (m.hasMatch() && !QFile::exists(QStringLiteral("/proc/") + m.captured(2)))
                ip(QStringLiteral("netns del ") + m.captured(1));
        }
    }

    QString m_ip, m_tc, m_roomNs, m_memberNs, m_roomLink, m_memberLink;
    QStringList m_made;
};

} // namespace RoomProcess
