// Rooms that announce themselves, over a network this test builds for itself:
// two network namespaces joined by a veth pair, each side with a system bus
// of its own and an Avahi daemon that answers on the veth alone. Needs root,
// iproute2, dbus-daemon, avahi-daemon and avahi-utils; skips without them.
// Without a responder, hosting goes on as before: that needs none of it.

#include "netns.h"
#include "room.h"
#include "roomprocess.h"

#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace RoomProcess;

namespace {

constexpr int kStartMs = 10000; // a daemon's start, probing its name included
constexpr int kFindMs = 15000;  // for the network to learn of a change
constexpr int kMaxRooms = 64;
const QString kType = u"_tavix._tcp"_s;

void writeFile(const QString &path, const QString &text)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text.toUtf8());
}

// A helper program, with whatever it starts, that dies with the test and is
// stopped with its owner.
class Daemon
{
public:
    explicit Daemon(const QStringList &command)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] {
            ::setsid();
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        });
        process.start(command.first(), command.mid(1));
    }
    ~Daemon()
    {
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (process.state() != QProcess::NotRunning)
                ::kill(-pid_t(process.processId()), signal);
            process.waitForFinished(5000);
        }
    }
    bool says(const QByteArray &text, int times = 1)
    {
        return QTest::qWaitFor([&] { return (output += process.readAll()).count(text) >= times; }, kStartMs);
    }

    QProcess process;
    QByteArray output;
};

// A system bus of its own, without any service on it.
class PrivateBus
{
public:
    PrivateBus()
    {
        const QString socket = m_dir.filePath(u"bus"_s);
        address = u"unix:path="_s + socket;
        writeFile(m_dir.filePath(u"bus.conf"_s),
                  u"<busconfig><listen>%1</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                  "user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                  "</policy></busconfig>"_s.arg(address));
        m_bus = std::make_unique<Daemon>(QStringList{findTool(u"dbus-daemon"_s), u"--nofork"_s,
                                                     u"--config-file="_s + m_dir.filePath(u"bus.conf"_s)});
        if (!QTest::qWaitFor([&] { return QFile::exists(socket); }, kStartMs))
            error = u"dbus-daemon did not start: "_s + QString::fromLocal8Bit(m_bus->process.readAll());
    }
    // `command` with this bus as its system bus.
    QStringList with(const QStringList &command) const
    {
        return QStringList{u"env"_s, u"DBUS_SYSTEM_BUS_ADDRESS="_s + address} + command;
    }

    QString address;
    QString error;

protected:
    QTemporaryDir m_dir;
    std::unique_ptr<Daemon> m_bus;
};

// One side of the network: its namespace, its bus, and an Avahi daemon that
// sees only its end of the veth, with /run on a tmpfs of its own so that it
// meets no other daemon's pid file.
class Side : public PrivateBus
{
public:
    Side(const QStringList &ns, const QString &link, const QString &hostName) : inNamespace(with(ns))
    {
        writeFile(m_dir.filePath(u"avahi.conf"_s),
                  u"[server]\nhost-name=%1\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%2\n"
                  "[wide-area]\nenable-wide-area=no\n"
                  "[publish]\npublish-hinfo=no\npublish-workstation=no\n"_s.arg(hostName, link));
        if (error.isEmpty())
            startResponder();
    }
    bool startResponder()
    {
        m_avahi = std::make_unique<Daemon>(
                inNamespace + QStringList{u"sh"_s, u"-c"_s,
                                          u"mount -t tmpfs tavix /run && exec \"$0\" --no-drop-root --no-chroot "
                                          "--no-rlimits -f \"$1\""_s,
                                          findTool(u"avahi-daemon"_s), m_dir.filePath(u"avahi.conf"_s)});
        if (m_avahi->says("Server startup complete"))
            return true;
        error = u"avahi-daemon did not start: "_s + QString::fromLocal8Bit(m_avahi->output);
        return false;
    }
    void stopResponder() { m_avahi.reset(); }
    // How many rooms avahi-browse on this side has resolved.
    int resolvedByAvahi() const
    {
        Daemon browse(inNamespace + QStringList{u"avahi-browse"_s, u"-ptr"_s, kType});
        browse.process.waitForFinished(kStartMs);
        return int(("\n" + browse.process.readAll()).count("\n="));
    }

    const QStringList inNamespace;

private:
    std::unique_ptr<Daemon> m_avahi;
};

// What `tavix-room rooms` prints, split into lines.
QStringList rooms(const QStringList &launcher, int *exitCode = nullptr, QString *err = nullptr)
{
    Tool tool({u"rooms"_s, u"--seconds"_s, u"1"_s}, launcher);
    const bool ended = QTest::qWaitFor([&] { return !tool.running(); }, kStartMs);
    if (exitCode)
        *exitCode = ended ? tool.process.exitCode() : -1;
    if (err)
        *err = tool.err;
    return tool.lines;
}

// Runs `rooms` until it prints just `line` (nothing, if empty), within
// kFindMs of real time: a QTRY loop would count each run as one short step.
bool roomsUntil(const QStringList &launcher, const QString &line, QStringList *found)
{
    const QStringList wanted = line.isEmpty() ? QStringList() : QStringList{line};
    return QTest::qWaitFor([&] { return (*found = rooms(launcher)) == wanted; }, kFindMs);
}

// The name a room hosted on this machine by `host` is announced under.
QString instanceOf(const QString &host)
{
    return u"%1 (%2)"_s.arg(host, QSysInfo::machineHostName().section(u'.', 0, 0));
}

// The host's key as `rooms` shows it: the first 16 hex digits.
QString keyPrefix(const Tool &host)
{
    static const QRegularExpression key(u"this host's key: ([0-9a-f ]+)"_s);
    return key.match(host.err).captured(1).remove(u' ').left(16);
}

} // namespace

class tst_RoomDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutAResponderHostingGoesOnAsBefore_data();
    void withoutAResponderHostingGoesOnAsBefore();
    void aHostedRoomIsFoundJoinedAndGone();
    void aRenamedHostIsAnnouncedUnderItsNewName();
    void hostileAnnouncementsShowNothingUnreadable_data();
    void hostileAnnouncementsShowNothingUnreadable();
    void cleanup();

private:
    QString m_skip;
    std::unique_ptr<Net> m_net;
    std::unique_ptr<Side> m_roomSide, m_memberSide;
    std::unique_ptr<Daemon> m_control; // a room listed as it should be, beside each hostile one
    std::vector<std::unique_ptr<Daemon>> m_published;
};

void tst_RoomDiscovery::initTestCase()
{
    for (const QString &tool : {u"dbus-daemon"_s, u"avahi-daemon"_s, u"avahi-publish"_s, u"avahi-browse"_s}) {
        if (findTool(tool).isEmpty())
            m_skip = tool + u" not found: install dbus-daemon, avahi-daemon and avahi-utils (scripts/setup.sh --tests)"_s;
    }
    if (!m_skip.isEmpty())
        return;
    m_net = std::make_unique<Net>();
    m_skip = m_net->skipReason;
    if (!m_skip.isEmpty())
        return;
    QVERIFY2(m_net->ready(), qPrintable(m_net->error));
    m_roomSide = std::make_unique<Side>(m_net->inRoom(), m_net->roomLink(), u"tavix-room-side"_s);
    m_memberSide = std::make_unique<Side>(m_net->inMember(), m_net->memberLink(), u"tavix-member-side"_s);
    QVERIFY2(m_roomSide->error.isEmpty(), qPrintable(m_roomSide->error));
    QVERIFY2(m_memberSide->error.isEmpty(), qPrintable(m_memberSide->error));
}

void tst_RoomDiscovery::cleanup()
{
    // Each row's announcements leave the network before the next row.
    m_published.clear();
    const int left = m_control ? 1 : 0;
    if (m_memberSide)
        QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolvedByAvahi() == left; }, kFindMs));
}

void tst_RoomDiscovery::withoutAResponderHostingGoesOnAsBefore_data()
{
    QTest::addColumn<bool>("bus");
    QTest::addColumn<bool>("announce");
    QTest::addColumn<QString>("why");
    QTest::newRow("no system bus") << false << true << u"no system bus"_s;
    QTest::newRow("a bus without Avahi") << true << true << u"no Avahi daemon on the system bus"_s;
    QTest::newRow("a host told not to announce does not try") << false << false << u"no system bus"_s;
}

void tst_RoomDiscovery::withoutAResponderHostingGoesOnAsBefore()
{
    QFETCH(bool, bus);
    QFETCH(bool, announce);
    QFETCH(QString, why);
    std::optional<PrivateBus> privateBus;
    if (bus) {
        privateBus.emplace();
        QVERIFY2(privateBus->error.isEmpty(), qPrintable(privateBus->error));
    }
    const QStringList launcher = bus ? privateBus->with({})
                                     : QStringList{u"env"_s, u"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus"_s};
    const QStringList quiet = announce ? QStringList() : QStringList{u"--no-announce"_s};
    auto host = std::make_unique<Tool>(QStringList{u"host"_s, u"--port"_s, u"0"_s} + quiet, launcher);
    QTRY_VERIFY(host->port() != 0);
    auto member = Tool::join(host->port(), u"M"_s);
    QTRY_VERIFY(host->has(arrived(u"名無し"_s)) && host->has(arrived(u"M"_s)));
    QCOMPARE(host->err.count(u"not announced"_s), announce ? 1 : 0);
    QVERIFY2(!announce || host->err.contains(u"tavix-room: the room is not announced on the network: %1\n"_s.arg(why)),
             qPrintable(host->err));

    int exitCode = -1;
    QString err;
    QCOMPARE(rooms(launcher, &exitCode, &err), QStringList());
    QCOMPARE(exitCode, 1);
    QCOMPARE(err, u"tavix-room: cannot look for rooms: %1\n"_s.arg(why));
}

void tst_RoomDiscovery::aHostedRoomIsFoundJoinedAndGone()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    auto host = Tool::host(5, u"ぺぽらん"_s, m_roomSide->inNamespace);
    QTRY_VERIFY(host->port() != 0);
    const auto entry = [&](int members) {
        return u"%1\t%2\t%3\t%4/5\t%5"_s.arg(m_net->roomAddress).arg(host->port()).arg(instanceOf(u"ぺぽらん"_s))
                .arg(members).arg(keyPrefix(*host));
    };
    const QStringList &on = m_memberSide->inNamespace;
    QStringList found;
    QVERIFY2(roomsUntil(on, entry(1), &found), qPrintable(found.join(u'\n')));

    // A member in the room's own namespace: the count follows.
    auto near = Tool::join(host->port(), u"P"_s, u"127.0.0.1"_s, m_roomSide->inNamespace);
    QVERIFY2(roomsUntil(on, entry(2), &found), qPrintable(found.join(u'\n')));

    // Joined through the entry found, as the window does it.
    const QStringList fields = found.first().split(u'\t');
    auto member = Tool::join(quint16(fields.at(1).toUInt()), u"M"_s, fields.at(0), on);
    QTRY_VERIFY(host->has(arrived(u"M"_s)));

    // A responder that restarts gets the room again.
    m_roomSide->stopResponder();
    QVERIFY2(m_roomSide->startResponder(), qPrintable(m_roomSide->error));
    QVERIFY2(roomsUntil(on, entry(3), &found), qPrintable(found.join(u'\n')));
    QVERIFY2(!host->err.contains(u"not announced"_s), qPrintable(host->err));

    host->signal(SIGTERM);
    QTRY_VERIFY(!host->running());
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(roomsUntil(on, QString(), &found), qPrintable(found.join(u'\n')));
    qInfo("the closed room was gone from the other side after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() < 5000);
}

void tst_RoomDiscovery::aRenamedHostIsAnnouncedUnderItsNewName()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    // A room of this process, announced through the room side's daemon.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_roomSide->address.toUtf8());
    TAVIXLibCtl::Room room;
    room.setAnnounced(true);
    room.setPort(0);
    room.setData(u"name"_s, u"ぺぽらん"_s);
    room.openServer();
    QCOMPARE(room.state(), TAVIXLibCtl::Room::State::Hosting);
    const auto entry = [&](const QString &host) {
        return u"%1\t%2\t%3\t1/5\t%4"_s.arg(m_net->roomAddress).arg(room.boundPort()).arg(instanceOf(host))
                .arg(QString::fromLatin1(room.hostFingerprint().toHex().left(16)));
    };
    QStringList found;
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, entry(u"ぺぽらん"_s), &found), qPrintable(found.join(u'\n')));
    room.setData(u"name"_s, u"たろう"_s);
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, entry(u"たろう"_s), &found), qPrintable(found.join(u'\n')));
}

void tst_RoomDiscovery::hostileAnnouncementsShowNothingUnreadable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("txt");
    QTest::addColumn<int>("copies");
    QTest::addColumn<QString>("shown"); // name, members and key; empty when not listed

    const QStringList good{u"v=2"_s, u"n=1"_s, u"max=5"_s};
    QTest::newRow("control and escape characters in the name are replaced")
            << u"evil\x01\x1b[31mname"_s << 6001 << good << 1 << u"evil\uFFFD\uFFFD[31mname\t1/5\t-"_s;
    QTest::newRow("a bidi override cannot turn the entry around")
            << u"\u202Eevil"_s << 6002 << good << 1 << u"\uFFFDevil\t1/5\t-"_s;
    QTest::newRow("a tab in the name is a space") << u"tab\there"_s << 6003 << good << 1 << u"tab here\t1/5\t-"_s;
    QTest::newRow("port 0 is not listed") << u"zero"_s << 0 << good << 1 << QString();
    QTest::newRow("a room that gives no version is not listed")
            << u"unversioned"_s << 6004 << QStringList{u"n=1"_s} << 1 << QString();
    QTest::newRow("a room of another version is not listed")
            << u"future"_s << 6005 << QStringList{u"v=3"_s, u"n=1"_s} << 1 << QString();
    QTest::newRow("absurd counts and keys are left out")
            << u"absurd"_s << 6006 << QStringList{u"v=2"_s, u"n=99999999999"_s, u"max=-5"_s, u"key="_s + QString(240, u'z')}
            << 1 << u"absurd\t-\t-"_s;
    QTest::newRow("more members than places are left out")
            << u"crowded"_s << 6007 << QStringList{u"v=2"_s, u"n=6"_s, u"max=5"_s, u"key=0123456789ABCDEF"_s} << 1
            << u"crowded\t-\t0123456789abcdef"_s;
    QTest::newRow("keys in capitals count as well")
            << u"capitals"_s << 6008 << QStringList{u"V=2"_s, u"N=2"_s, u"MAX=5"_s} << 1 << u"capitals\t2/5\t-"_s;
    QTest::newRow("two hundred rooms at once are cut to 64") << u"flood"_s << 6100 << good << 200 << QString();
}

void tst_RoomDiscovery::hostileAnnouncementsShowNothingUnreadable()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(QString, name);
    QFETCH(int, port);
    QFETCH(QStringList, txt);
    QFETCH(int, copies);
    QFETCH(QString, shown);

    // Each row beside a room that is listed as it should be. A flood is many
    // avahi-publish at once, one service each.
    const QString script = u"p=$1; shift; for i in $(seq %1); do n=\"$0\"; [ %1 = 1 ] || n=\"$0 $i\"; "
                           "avahi-publish -s \"$n\" %2 $((p + i - 1)) \"$@\" & done; wait"_s;
    const auto publish = [&](const QStringList &service, int count) {
        auto publisher = std::make_unique<Daemon>(m_roomSide->inNamespace
                                                  + QStringList{u"sh"_s, u"-c"_s, script.arg(count).arg(kType)} + service);
        return publisher->says("Established", count) ? std::move(publisher) : nullptr;
    };
    if (!m_control)
        QVERIFY(m_control = publish({u"control"_s, u"7000"_s, u"v=2"_s, u"n=1"_s, u"max=5"_s}, 1));
    QVERIFY(m_published.emplace_back(publish(QStringList{name, QString::number(port)} + txt, copies)));
    // Every announcement has crossed the link before the room list is read.
    QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolvedByAvahi() == 1 + copies; }, kFindMs));

    int exitCode = -1;
    QStringList found = rooms(m_memberSide->inNamespace, &exitCode);
    QCOMPARE(exitCode, 0);
    if (copies > 1) {
        QCOMPARE(found.size(), kMaxRooms);
        for (const QString &line : std::as_const(found))
            QVERIFY2(line.count(u'\t') == 4, qPrintable(line));
        return;
    }
    QVERIFY2(found.removeAll(m_net->roomAddress + u"\t7000\tcontrol\t1/5\t-"_s) == 1, qPrintable(found.join(u'\n')));
    QCOMPARE(found, shown.isEmpty() ? QStringList() : QStringList{u"%1\t%2\t%3"_s.arg(m_net->roomAddress).arg(port).arg(shown)});
}

QTEST_GUILESS_MAIN(tst_RoomDiscovery)
#include "tst_roomdiscovery.moc"
