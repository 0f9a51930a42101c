// Rooms that announce themselves, over a network this test builds for itself:
// two network namespaces joined by a veth pair, each side with a system bus
// of its own and an Avahi daemon that answers on the veth alone. Needs root,
// iproute2, dbus-daemon, avahi-daemon and avahi-utils; skips without them.
// Without a responder, hosting goes on as before: that needs none of it.

#include "netns.h"
#include "room.h"
#include "roomprocess.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace RoomProcess;

namespace {

constexpr int kStartMs = 10000; // a daemon's start, probing its name included
constexpr int kFindMs = 15000;  // for the network to learn of a change
constexpr int kMaxRooms = 64;
const QString kType = QStringLiteral("_tavix._tcp");

// A helper program that dies with the test and is stopped with its owner.
class Daemon
{
public:
    Daemon(const QStringList &command)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(command.first(), command.mid(1));
    }
    ~Daemon()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    bool says(const QString &text, int ms = kStartMs)
    {
        return QTest::qWaitFor([&] { return (output += process.readAll()).contains(text.toUtf8()); }, ms);
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
        const QString socket = m_dir.filePath(QStringLiteral("bus"));
        address = QStringLiteral("unix:path=") + socket;
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("<busconfig><listen>%1</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                  "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                  "<allow receive_sender=\"*\"/></policy></busconfig>")
                           .arg(address)
                           .toUtf8());
        file.close();
        m_bus = std::make_unique<Daemon>(
                QStringList{findTool(QStringLiteral("dbus-daemon")), QStringLiteral("--nofork"),
                            QStringLiteral("--config-file=") + config});
        if (!QTest::qWaitFor([&] { return QFile::exists(socket); }, kStartMs))
            error = QStringLiteral("dbus-daemon did not start: ") + QString::fromLocal8Bit(m_bus->process.readAll());
    }
    // `command` with this bus as its system bus.
    QStringList with(const QStringList &command) const
    {
        return QStringList{QStringLiteral("env"), QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + address} + command;
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
        m_config = m_dir.filePath(QStringLiteral("avahi.conf"));
        QFile file(m_config);
        file.open(QIODevice::WriteOnly);
        // Room for the flood of one row in one entry group.
        file.write(QStringLiteral("[server]\nhost-name=%1\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%2\n"
                                  "entries-per-entry-group-max=2000\n"
                                  "[wide-area]\nenable-wide-area=no\n"
                                  "[publish]\npublish-hinfo=no\npublish-workstation=no\n")
                           .arg(hostName, link)
                           .toUtf8());
        file.close();
        if (error.isEmpty())
            startResponder();
    }
    bool startResponder()
    {
        m_avahi = std::make_unique<Daemon>(
                inNamespace
                + QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("mount -t tmpfs tavix /run && exec \"$0\" --no-drop-root "
                                             "--no-chroot --no-rlimits -f \"$1\""),
                              findTool(QStringLiteral("avahi-daemon")), m_config});
        if (m_avahi->says(QStringLiteral("Server startup complete")))
            return true;
        error = QStringLiteral("avahi-daemon did not start: ") + QString::fromLocal8Bit(m_avahi->output);
        return false;
    }
    void stopResponder() { m_avahi.reset(); }
    // What avahi-browse on this side has resolved of the rooms: one line each.
    int resolvedByAvahi() const
    {
        QProcess browse;
        const QStringList command = inNamespace + QStringList{QStringLiteral("avahi-browse"), QStringLiteral("-ptr"), kType};
        browse.start(command.first(), command.mid(1));
        if (!browse.waitForFinished(kStartMs)) {
            browse.kill();
            browse.waitForFinished();
        }
        return int(("\n" + browse.readAllStandardOutput()).count("\n="));
    }

    const QStringList inNamespace;

private:
    QString m_config;
    std::unique_ptr<Daemon> m_avahi;
};

// What `tavix-room rooms` prints, split into lines.
QStringList rooms(const QStringList &launcher, int seconds = 1, int *exitCode = nullptr, QString *err = nullptr)
{
    Tool tool({QStringLiteral("rooms"), QStringLiteral("--seconds"), QString::number(seconds)}, launcher);
    const bool ended = QTest::qWaitFor([&] { return !tool.running(); }, seconds * 1000 + kStartMs);
    if (exitCode)
        *exitCode = ended ? tool.process.exitCode() : -1;
    if (err)
        *err = tool.err;
    return tool.lines;
}

// Runs `rooms` until what it prints passes `done`, within kFindMs of real
// time (a QTRY loop would count each second-long run as one of its steps).
bool roomsUntil(const QStringList &launcher, const std::function<bool(const QStringList &)> &done,
                QStringList *found)
{
    return QTest::qWaitFor([&] { return done(*found = rooms(launcher)); }, kFindMs);
}

// The name a room hosted on this machine by `host` is announced under.
QString instanceOf(const QString &host)
{
    return QStringLiteral("%1 (%2)").arg(host, QSysInfo::machineHostName().section(u'.', 0, 0));
}

// The host's key as `rooms` shows it: the first 16 hex digits.
QString keyPrefix(const Tool &host)
{
    static const QRegularExpression key(QStringLiteral("this host's key: ([0-9a-f ]+)"));
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
    qDBusRegisterMetaType<QList<QByteArray>>();
    for (const char *tool : {"dbus-daemon", "avahi-daemon", "avahi-publish", "avahi-browse"}) {
        if (findTool(QString::fromLatin1(tool)).isEmpty())
            m_skip = QStringLiteral("%1 not found: install dbus-daemon, avahi-daemon and avahi-utils "
                                    "(scripts/setup.sh --tests)").arg(QLatin1String(tool));
    }
    if (!m_skip.isEmpty())
        return;
    m_net = std::make_unique<Net>();
    if (!m_net->skipReason.isEmpty()) {
        m_skip = m_net->skipReason;
        return;
    }
    QVERIFY2(m_net->ready(), qPrintable(m_net->error));
    m_roomSide = std::make_unique<Side>(m_net->inRoom(), m_net->roomLink(), QStringLiteral("tavix-room-side"));
    m_memberSide = std::make_unique<Side>(m_net->inMember(), m_net->memberLink(), QStringLiteral("tavix-member-side"));
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
    QTest::addColumn<QString>("why");
    QTest::newRow("no system bus") << false << QStringLiteral("no system bus");
    QTest::newRow("a bus without Avahi") << true << QStringLiteral("no Avahi daemon on the system bus");
}

void tst_RoomDiscovery::withoutAResponderHostingGoesOnAsBefore()
{
    QFETCH(bool, bus);
    QFETCH(QString, why);
    std::optional<PrivateBus> privateBus;
    if (bus) {
        privateBus.emplace();
        QVERIFY2(privateBus->error.isEmpty(), qPrintable(privateBus->error));
    }
    const QStringList launcher = bus ? privateBus->with({})
                                     : QStringList{QStringLiteral("env"),
                                                   QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus")};
    auto host = Tool::host(5, QStringLiteral("H"), launcher);
    QTRY_VERIFY(host->port() != 0);
    auto member = Tool::join(host->port(), QStringLiteral("M"));
    QTRY_VERIFY(host->has(arrived(QStringLiteral("M"))));
    QCOMPARE(host->err.count(QStringLiteral("not announced")), 1);
    QVERIFY2(host->err.contains(QStringLiteral("tavix-room: the room is not announced on the network: %1\n").arg(why)),
             qPrintable(host->err));

    int exitCode = -1;
    QString err;
    QCOMPARE(rooms(launcher, 1, &exitCode, &err), QStringList());
    QCOMPARE(exitCode, 1);
    QCOMPARE(err, QStringLiteral("tavix-room: cannot look for rooms: %1\n").arg(why));
}

void tst_RoomDiscovery::aHostedRoomIsFoundJoinedAndGone()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    auto host = Tool::host(5, QStringLiteral("ぺぽらん"), m_roomSide->inNamespace);
    QTRY_VERIFY(host->port() != 0);
    const QString name = instanceOf(QStringLiteral("ぺぽらん"));
    const auto entry = [&](int members) {
        return QStringLiteral("%1\t%2\t%3\t%4/5\t%5")
                .arg(m_net->roomAddress).arg(host->port()).arg(name).arg(members).arg(keyPrefix(*host));
    };
    QStringList found;
    const auto only = [](const QString &line) { return [line](const QStringList &f) { return f == QStringList{line}; }; };
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, only(entry(1)), &found), qPrintable(found.join(u'\n')));

    // A member in the room's own namespace: the count follows.
    auto near = Tool::join(host->port(), QStringLiteral("P"), QStringLiteral("127.0.0.1"), m_roomSide->inNamespace);
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, only(entry(2)), &found), qPrintable(found.join(u'\n')));

    // Joined through the entry found, as the window does it.
    const QStringList fields = found.first().split(u'\t');
    auto member = Tool::join(quint16(fields.at(1).toUInt()), QStringLiteral("M"), fields.at(0), m_memberSide->inNamespace);
    QTRY_VERIFY(host->has(arrived(QStringLiteral("M"))));

    // A responder that restarts gets the room again.
    m_roomSide->stopResponder();
    QVERIFY2(m_roomSide->startResponder(), qPrintable(m_roomSide->error));
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, only(entry(3)), &found), qPrintable(found.join(u'\n')));
    QVERIFY2(!host->err.contains(QStringLiteral("not announced")), qPrintable(host->err));

    host->signal(SIGTERM);
    QTRY_VERIFY(!host->running());
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, &QStringList::isEmpty, &found), qPrintable(found.join(u'\n')));
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
    room.setData(QStringLiteral("name"), QStringLiteral("ぺぽらん"));
    room.openServer();
    QCOMPARE(room.state(), TAVIXLibCtl::Room::State::Hosting);
    const auto onlyNamed = [](const QString &host) {
        return [name = instanceOf(host)](const QStringList &f) {
            return f.size() == 1 && f.first().split(u'\t').value(2) == name;
        };
    };
    QStringList found;
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, onlyNamed(QStringLiteral("ぺぽらん")), &found),
             qPrintable(found.join(u'\n')));
    room.setData(QStringLiteral("name"), QStringLiteral("たろう"));
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, onlyNamed(QStringLiteral("たろう")), &found),
             qPrintable(found.join(u'\n')));
}

void tst_RoomDiscovery::hostileAnnouncementsShowNothingUnreadable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("txt");
    QTest::addColumn<int>("copies");
    QTest::addColumn<QString>("shown"); // name, members and key; empty when not listed

    const QStringList good{QStringLiteral("v=2"), QStringLiteral("n=1"), QStringLiteral("max=5")};
    QTest::newRow("control and escape characters in the name are replaced")
            << QStringLiteral("evil\x01\x1b[31mname") << 6001 << good << 1 << QStringLiteral("evil\uFFFD\uFFFD[31mname\t1/5\t-");
    QTest::newRow("a bidi override cannot turn the entry around")
            << QStringLiteral("\u202Eevil") << 6002 << good << 1 << QStringLiteral("\uFFFDevil\t1/5\t-");
    QTest::newRow("a tab in the name is a space") << QStringLiteral("tab\there") << 6003 << good << 1
                                                  << QStringLiteral("tab here\t1/5\t-");
    QTest::newRow("port 0 is not listed") << QStringLiteral("zero") << 0 << good << 1 << QString();
    QTest::newRow("a room that gives no version is not listed")
            << QStringLiteral("unversioned") << 6004 << QStringList{QStringLiteral("n=1")} << 1 << QString();
    QTest::newRow("a room of another version is not listed")
            << QStringLiteral("future") << 6005 << QStringList{QStringLiteral("v=3"), QStringLiteral("n=1")} << 1
            << QString();
    QTest::newRow("absurd counts and keys are left out")
            << QStringLiteral("absurd") << 6006
            << QStringList{QStringLiteral("v=2"), QStringLiteral("n=99999999999"), QStringLiteral("max=-5"),
                           QStringLiteral("key=") + QString(240, u'z')}
            << 1 << QStringLiteral("absurd\t-\t-");
    QTest::newRow("more members than places are left out")
            << QStringLiteral("crowded") << 6007
            << QStringList{QStringLiteral("v=2"), QStringLiteral("n=6"), QStringLiteral("max=5"),
                           QStringLiteral("key=0123456789ABCDEF")}
            << 1 << QStringLiteral("crowded\t-\t0123456789abcdef");
    QTest::newRow("keys in capitals count as well")
            << QStringLiteral("capitals") << 6008
            << QStringList{QStringLiteral("V=2"), QStringLiteral("N=2"), QStringLiteral("MAX=5")}
            << 1 << QStringLiteral("capitals\t2/5\t-");
    QTest::newRow("three hundred rooms at once are cut to 64") << QStringLiteral("flood") << 6100 << good << 300
                                                              << QString();
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

    const auto publish = [&](const QStringList &service) {
        auto publisher = std::make_unique<Daemon>(
                m_roomSide->inNamespace + QStringList{QStringLiteral("avahi-publish"), QStringLiteral("-s")} + service);
        return publisher->says(QStringLiteral("Established")) ? std::move(publisher) : nullptr;
    };
    if (!m_control) {
        m_control = publish({QStringLiteral("control"), kType, QStringLiteral("7000"), QStringLiteral("v=2"),
                             QStringLiteral("n=1"), QStringLiteral("max=5")});
        QVERIFY(m_control);
    }
    if (copies == 1) {
        QVERIFY(m_published.emplace_back(publish(QStringList{name, kType, QString::number(port)} + txt)));
    }
    // avahi-publish announces one service a process: a flood comes from one
    // entry group of the test's own.
    const auto floodGone = qScopeGuard([] { QDBusConnection::disconnectFromBus(QStringLiteral("flood")); });
    if (copies > 1) {
        QDBusConnection bus = QDBusConnection::connectToBus(m_roomSide->address, QStringLiteral("flood"));
        const auto avahi = [&](const QString &path, const QString &interface, const QString &method,
                               const QVariantList &args = {}) {
            QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Avahi"), path,
                                                               QStringLiteral("org.freedesktop.Avahi.") + interface, method);
            call.setArguments(args);
            return bus.call(call, QDBus::Block, kStartMs);
        };
        const QString group = avahi(QStringLiteral("/"), QStringLiteral("Server"), QStringLiteral("EntryGroupNew"))
                                      .arguments().value(0).value<QDBusObjectPath>().path();
        QList<QByteArray> records;
        for (const QString &record : txt)
            records << record.toUtf8();
        for (int i = 0; i < copies; ++i) {
            const QDBusMessage added = avahi(group, QStringLiteral("EntryGroup"), QStringLiteral("AddService"),
                                             {-1, -1, 0u, QStringLiteral("%1 %2").arg(name).arg(i), kType, QString(),
                                              QString(), QVariant::fromValue(quint16(port + i)),
                                              QVariant::fromValue(records)});
            QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));
        }
        QCOMPARE(avahi(group, QStringLiteral("EntryGroup"), QStringLiteral("Commit")).type(), QDBusMessage::ReplyMessage);
    }
    // Every announcement has crossed the link before the room list is read.
    const int published = 1 + copies;
    QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolvedByAvahi() >= published; }, kFindMs));

    int exitCode = -1;
    QStringList found = rooms(m_memberSide->inNamespace, 1, &exitCode);
    QCOMPARE(exitCode, 0);
    if (copies > 1) {
        QCOMPARE(found.size(), kMaxRooms);
        for (const QString &line : std::as_const(found))
            QVERIFY2(line.count(u'\t') == 4, qPrintable(line));
        return;
    }
    QVERIFY2(found.removeAll(m_net->roomAddress + QStringLiteral("\t7000\tcontrol\t1/5\t-")) == 1,
             qPrintable(found.join(u'\n')));
    const QStringList expected = shown.isEmpty()
            ? QStringList()
            : QStringList{QStringLiteral("%1\t%2\t%3").arg(m_net->roomAddress).arg(port).arg(shown)};
    QCOMPARE(found, expected);
}

QTEST_GUILESS_MAIN(tst_RoomDiscovery)
#include "tst_roomdiscovery.moc"
