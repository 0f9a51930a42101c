// Rooms that announce themselves, over a network this test builds for itself:
// two network namespaces joined by a veth pair, each side with a system bus
// of its own and an Avahi daemon that answers on the veth alone. Needs root,
// iproute2, dbus-daemon, avahi-daemon and avahi-utils; skips without them.
// Without a responder, hosting goes on as before: that needs none of it.

#include "../configfolder.h"
#include "gorvel.h"
#include "knownhosts.h"
#include "netns.h"
#include "room.h"
#include "roombrowser.h"
#include "roomprocess.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace RoomProcess;

namespace {

constexpr int kStartMs = 10000; // a daemon's start, probing its name included
constexpr int kFindMs = 15000;  // for the network to learn of a change
constexpr int kMaxRooms = 64;
constexpr int kFlood = 200;
const QString kType = u"_tavix._tcp"_s;
const QStringList kGood{u"v=3"_s, u"n=1"_s, u"max=5"_s}; // a room's TXT records, as they should be

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
        ::kill(-pid_t(process.processId()), SIGCONT); // one a test stopped
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (process.state() != QProcess::NotRunning)
                ::kill(-pid_t(process.processId()), signal);
            process.waitForFinished(5000);
        }
    }
    bool says(const QByteArray &text)
    {
        return QTest::qWaitFor([&] { return (output += process.readAll()).contains(text); }, kStartMs);
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
    // The bus hangs: it takes connections and answers nothing.
    void stop() { ::kill(pid_t(m_bus->process.processId()), SIGSTOP); }

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
    // Starts the responder; responding() waits for it.
    Side(const QStringList &ns, const QString &link, const QString &hostName) : inNamespace(with(ns))
    {
        // One entry group may carry a whole flood.
        writeFile(m_dir.filePath(u"avahi.conf"_s),
                  u"[server]\nhost-name=%1\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%2\n"
                  "entries-per-entry-group-max=%3\n[wide-area]\nenable-wide-area=no\n"
                  "[publish]\npublish-hinfo=no\npublish-workstation=no\n"_s.arg(hostName, link).arg(kFlood + 1));
        if (error.isEmpty())
            startResponder();
    }
    void startResponder()
    {
        m_avahi = std::make_unique<Daemon>(
                inNamespace + QStringList{u"sh"_s, u"-c"_s,
                                          u"mount -t tmpfs tavix /run && exec \"$0\" --no-drop-root --no-chroot "
                                          "--no-rlimits -f \"$1\""_s,
                                          findTool(u"avahi-daemon"_s), m_dir.filePath(u"avahi.conf"_s)});
    }
    bool responding()
    {
        if (error.isEmpty() && !m_avahi->says("Server startup complete"))
            error = u"avahi-daemon did not start: "_s + QString::fromLocal8Bit(m_avahi->output);
        return error.isEmpty();
    }
    void stopResponder() { m_avahi.reset(); }
    // The responder hangs, or goes on.
    void freeze(bool frozen) { ::kill(pid_t(m_avahi->process.processId()), frozen ? SIGSTOP : SIGCONT); }
    // Keeps avahi-browse resolving rooms on this side. It tells what has
    // crossed the link, and keeps the daemon asking, so that a browser
    // started later hears at once all the daemon knows.
    void watch() { m_browse = std::make_unique<Daemon>(inNamespace + QStringList{u"avahi-browse"_s, u"-pr"_s, kType}); }
    // How many rooms it has resolved and not seen go.
    int resolved()
    {
        QByteArray &out = m_browse->output;
        out += m_browse->process.readAll();
        const qsizetype end = out.lastIndexOf('\n') + 1;
        for (const QByteArray &line : out.left(end).split('\n')) {
            const QList<QByteArray> fields = line.split(';'); // event;interface;protocol;name;...
            const QByteArray where = fields.mid(1, 3).join(';');
            if (fields.first() == "=")
                m_resolved.insert(where);
            else if (fields.first() == "-")
                m_resolved.remove(where);
        }
        out.remove(0, end);
        return int(m_resolved.size());
    }

    const QStringList inNamespace;

private:
    std::unique_ptr<Daemon> m_avahi, m_browse;
    QSet<QByteArray> m_resolved;
};

// Services published on one side straight through its daemon's D-Bus
// interface, all in one entry group: a flood costs one client, not hundreds.
// They are withdrawn with the connection when this goes.
class Announcements
{
    static constexpr uint kNoProbe = 2;

public:
    explicit Announcements(const QString &address) : m_bus(QDBusConnection::connectToBus(address, m_name))
    {
        qDBusRegisterMetaType<QList<QByteArray>>();
        m_group = avahi(u"/"_s, u"Server"_s, u"EntryGroupNew"_s).arguments().value(0).value<QDBusObjectPath>().path();
    }
    ~Announcements() { QDBusConnection::disconnectFromBus(m_name); }
    // On this machine, or on `host` when one is named.
    void add(const QString &name, int port, const QStringList &txt, const QString &host = {})
    {
        QList<QByteArray> records;
        for (const QString &record : txt)
            records << record.toUtf8();
        avahi(m_group, u"EntryGroup"_s, u"AddService"_s,
              {-1, -1, 0u, name, kType, QString(), host, QVariant::fromValue(quint16(port)),
               QVariant::fromValue(records)});
    }
    // Says where `host` is, at once: another machine, as far as the network
    // can tell.
    void address(const QString &host, const QString &ip)
    {
        avahi(m_group, u"EntryGroup"_s, u"AddAddress"_s, {-1, -1, kNoProbe, host, ip});
    }
    // Publishes what was added, or says why it could not.
    QString commit()
    {
        avahi(m_group, u"EntryGroup"_s, u"Commit"_s);
        return m_error;
    }

private:
    QDBusMessage avahi(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &args = {})
    {
        auto call = QDBusMessage::createMethodCall(u"org.freedesktop.Avahi"_s, path,
                                                   u"org.freedesktop.Avahi."_s + interface, method);
        call.setArguments(args);
        const QDBusMessage reply = m_bus.call(call);
        if (reply.type() == QDBusMessage::ErrorMessage && m_error.isEmpty())
            m_error = method + u": "_s + reply.errorMessage();
        return reply;
    }

    static inline int s_made = 0;
    const QString m_name = u"announcements %1"_s.arg(++s_made);
    QDBusConnection m_bus;
    QString m_group, m_error;
};

// What `tavix-room rooms` prints, split into lines.
QStringList rooms(const QStringList &launcher, int *exitCode = nullptr, QString *err = nullptr,
                  const QStringList &options = {})
{
    Tool tool(QStringList{u"rooms"_s} + options, launcher);
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

// Announcements of other programs, each on a port of its own, and what
// `rooms` shows of them: name, members and key, or nothing.
struct Hostile
{
    const char *row;
    QString name;
    int port;
    QStringList txt;
    QString shown;
};

const QList<Hostile> &hostileRooms()
{
    static const QList<Hostile> rows{
        {"control and escape characters in the name are replaced", u"evil\x01\x1b[31mname"_s, 6001, kGood,
         u"evil\uFFFD\uFFFD[31mname\t1/5\t-\t-"_s},
        {"a bidi override cannot turn the entry around", u"\u202Eevil"_s, 6002, kGood, u"\uFFFDevil\t1/5\t-\t-"_s},
        {"a tab in the name is a space", u"tab\there"_s, 6003, kGood, u"tab here\t1/5\t-\t-"_s},
        {"port 0 is not listed", u"zero"_s, 0, kGood, QString()},
        {"a room that gives no version is not listed", u"unversioned"_s, 6004, {u"n=1"_s}, QString()},
        {"a room of another version is not listed", u"future"_s, 6005, {u"v=4"_s, u"n=1"_s}, QString()},
        {"absurd counts and keys are left out", u"absurd"_s, 6006,
         {u"v=3"_s, u"n=99999999999"_s, u"max=-5"_s, u"key="_s + QString(240, u'z')}, u"absurd\t-\t-\t-"_s},
        {"more members than places are left out", u"crowded"_s, 6007,
         {u"v=3"_s, u"n=6"_s, u"max=5"_s, u"key=0123456789ABCDEF"_s}, u"crowded\t-\t0123456789abcdef\t-"_s},
        {"keys in capitals count as well", u"capitals"_s, 6008, {u"V=3"_s, u"N=2"_s, u"MAX=5"_s},
         u"capitals\t2/5\t-\t-"_s},
        {"a name and its copy with an invisible mark are both marked", u"ぺぽらん (desk-7)"_s, 6009, kGood,
         u"ぺぽらん (desk-7)\t1/5\t-\tlookalike"_s},
        {"invisible marks leave the name shown", u"ぺぽ\u200Bらん (desk-7)\u200E\uFEFF\u2060"_s, 6010, kGood,
         u"ぺぽらん (desk-7)\t1/5\t-\tlookalike"_s},
        {"a full room is marked", u"満席"_s, 6011, {u"v=3"_s, u"n=5"_s, u"max=5"_s}, u"満席\t5/5\t-\tfull"_s},
        {"a room with a door is marked, and nothing else of it shown", u"扉"_s, 6013,
         {u"v=3"_s, u"n=1"_s, u"max=5"_s, u"door=1"_s}, u"扉\t1/5\t-\tdoor"_s},
        {"of keys given twice the first counts", u"twice"_s, 6012,
         {u"v=3"_s, u"n=1"_s, u"max=5"_s, u"n=3"_s, u"v=4"_s, u"max=9"_s}, u"twice\t1/5\t-\t-"_s},
    };
    return rows;
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
    void aRoomJoinedByNameMustShowTheKeyItAnnounced_data();
    void aRoomJoinedByNameMustShowTheKeyItAnnounced();
    void aRoomIsAnnouncedOnceItsResponderAnswers();
    void hostileAnnouncementsShowNothingUnreadable_data();
    void hostileAnnouncementsShowNothingUnreadable();
    void aRealRoomIsListedBesideHostileOnes_data();
    void aRealRoomIsListedBesideHostileOnes();
    void theListIsSharedBetweenMachines_data();
    void theListIsSharedBetweenMachines();

private:
    void announceAllHostileRooms();
    // The start of a line `rooms` shows for a room on the room side.
    QString atPort(int port) const;

    QString m_skip;
    std::unique_ptr<Net> m_net;
    std::unique_ptr<Side> m_roomSide, m_memberSide;
    std::unique_ptr<Announcements> m_hostile;
    std::optional<QStringList> m_hostileFound; // what `rooms` showed of them all
};

void tst_RoomDiscovery::initTestCase()
{
    for (const QString &tool : {u"dbus-daemon"_s, u"avahi-daemon"_s, u"avahi-browse"_s}) {
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
    QVERIFY2(m_roomSide->responding(), qPrintable(m_roomSide->error));
    QVERIFY2(m_memberSide->responding(), qPrintable(m_memberSide->error));
    m_memberSide->watch();
}

void tst_RoomDiscovery::withoutAResponderHostingGoesOnAsBefore_data()
{
    QTest::addColumn<bool>("bus");
    QTest::addColumn<bool>("stopped"); // the bus takes connections and answers nothing
    QTest::addColumn<bool>("announce");
    QTest::addColumn<QString>("why");
    QTest::newRow("no system bus") << false << false << true << u"no system bus"_s;
    QTest::newRow("a bus without Avahi") << true << false << true << u"no Avahi daemon on the system bus"_s;
    QTest::newRow("a host told not to announce does not try") << false << false << false << u"no system bus"_s;
    QTest::newRow("a bus that never answers holds nothing up")
        << true << true << true << u"the system bus does not answer"_s;
}

void tst_RoomDiscovery::withoutAResponderHostingGoesOnAsBefore()
{
    QFETCH(bool, bus);
    QFETCH(bool, stopped);
    QFETCH(bool, announce);
    QFETCH(QString, why);
    std::optional<PrivateBus> privateBus;
    if (bus) {
        if (findTool(u"dbus-daemon"_s).isEmpty())
            QSKIP("dbus-daemon not found: install dbus-daemon (scripts/setup.sh --tests)");
        privateBus.emplace();
        QVERIFY2(privateBus->error.isEmpty(), qPrintable(privateBus->error));
        if (stopped)
            privateBus->stop();
    }
    const QString address = bus ? privateBus->address : u"unix:path=/nonexistent/bus"_s;
    const QStringList launcher{u"env"_s, u"DBUS_SYSTEM_BUS_ADDRESS="_s + address};
    // The window's control, in this process, looks for rooms at once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    TAVIXLibCtl::Gorvel control;
    QSignalSpy noRooms(control.foundRooms(), &TAVIXLibCtl::RoomBrowser::unavailable);

    const QStringList quiet = announce ? QStringList() : QStringList{u"--no-announce"_s};
    auto host = std::make_unique<Tool>(QStringList{u"host"_s, u"--port"_s, u"0"_s} + quiet, launcher);
    QTRY_VERIFY(host->port() != 0);
    QElapsedTimer clock;
    clock.start();
    auto member = Tool::join(host->port(), u"M"_s);
    QTRY_VERIFY(host->has(arrived(u"名無し"_s)) && host->has(arrived(u"M"_s)));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(u"joined after %1 ms"_s.arg(clock.elapsed())));
    QTRY_COMPARE(host->err.count(u"not announced"_s), announce ? 1 : 0);
    QVERIFY2(!announce || host->err.contains(u"tavix-room: the room is not announced on the network: %1\n"_s.arg(why)),
             qPrintable(host->err));

    int exitCode = -1;
    QString err;
    QCOMPARE(rooms(launcher, &exitCode, &err), QStringList());
    QCOMPARE(exitCode, 1);
    QCOMPARE(err, u"tavix-room: cannot look for rooms: %1\n"_s.arg(why));
    QTRY_COMPARE(noRooms.size(), 1);
    QCOMPARE(noRooms.first().first().toString(), why);
    QCOMPARE(host->err.count(u"not announced"_s), announce ? 1 : 0); // and said no more since
}

void tst_RoomDiscovery::aHostedRoomIsFoundJoinedAndGone()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    auto host = Tool::host(5, u"ぺぽらん"_s, m_roomSide->inNamespace);
    QTRY_VERIFY(host->port() != 0);
    const auto entry = [&](int members, const QString &marks = u"-"_s) {
        return u"%1\t%2\t%3\t%4/5\t%5\t%6"_s.arg(m_net->roomAddress).arg(host->port()).arg(instanceOf(u"ぺぽらん"_s))
                .arg(members).arg(keyPrefix(*host), marks);
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
    m_roomSide->startResponder();
    QVERIFY2(m_roomSide->responding(), qPrintable(m_roomSide->error));
    QVERIFY2(roomsUntil(on, entry(3, u"joined-before"_s), &found), qPrintable(found.join(u'\n')));
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
        return u"%1\t%2\t%3\t1/5\t%4\t-"_s.arg(m_net->roomAddress).arg(room.boundPort()).arg(instanceOf(host))
                .arg(QString::fromLatin1(room.hostFingerprint().toHex().left(16)));
    };
    QStringList found;
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, entry(u"ぺぽらん"_s), &found), qPrintable(found.join(u'\n')));
    room.setData(u"name"_s, u"たろう"_s);
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, entry(u"たろう"_s), &found), qPrintable(found.join(u'\n')));
}

void tst_RoomDiscovery::aRoomJoinedByNameMustShowTheKeyItAnnounced_data()
{
    QTest::addColumn<QStringList>("hosts"); // where the name is announced, with the real room's key
    QTest::addColumn<QString>("err");       // what the member says; empty: it joins the real room
    QTest::newRow("a forgery under the real name, at a host with another key, is refused")
        << QStringList{u"forger"_s} << u"tavix-room: 名乗りと鍵が違います"_s;
    QTest::newRow("the real room is joined at its own port") << QStringList{u"real"_s} << QString();
    QTest::newRow("a name two rooms show is not chosen")
        << QStringList{u"real"_s, u"forger"_s} << u"tavix-room: 2 rooms are named"_s;
    QTest::newRow("a name no room shows is not chosen") << QStringList() << u"tavix-room: no room named"_s;
}

// `join --room NAME` as a member across the link: the real room hosted on
// the room side, and a forger there with a key of its own; neither announces
// itself, the name is announced for them.
void tst_RoomDiscovery::aRoomJoinedByNameMustShowTheKeyItAnnounced()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(QStringList, hosts);
    QFETCH(QString, err);
    QTemporaryDir forgersConfig;
    const QStringList quiet{u"host"_s, u"--port"_s, u"0"_s, u"--no-announce"_s, u"--name"_s};
    Tool real(quiet + QStringList{u"R"_s}, m_roomSide->inNamespace);
    Tool forger(quiet + QStringList{u"F"_s},
                m_roomSide->inNamespace + QStringList{u"env"_s, u"XDG_CONFIG_HOME="_s + forgersConfig.path()});
    QTRY_VERIFY(real.port() != 0 && forger.port() != 0 && !keyPrefix(forger).isEmpty());
    QVERIFY(keyPrefix(real) != keyPrefix(forger));
    // A name of each row's own: the last row's may not have gone yet.
    static int row = 0;
    const QString name = u"ぺぽらん (desk-%1)"_s.arg(++row);
    Announcements announced(m_roomSide->address);
    for (const QString &host : hosts) {
        // A second room of that name differs by an invisible mark, which the list does not show.
        announced.add(host == u"real"_s ? name : name + u"\u200E"_s, (host == u"real"_s ? real : forger).port(),
                      kGood + QStringList{u"key="_s + keyPrefix(real)});
    }
    const QString error = hosts.isEmpty() ? QString() : announced.commit();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList found;
    QVERIFY2(QTest::qWaitFor([&] {
                 found = rooms(m_memberSide->inNamespace);
                 return found.filter(u"\t%1\t"_s.arg(name)).size() == hosts.size();
             }, kFindMs), qPrintable(found.join(u'\n')));

    Tool member({u"join"_s, u"--room"_s, name, u"--name"_s, u"M"_s}, m_memberSide->inNamespace);
    if (err.isEmpty()) {
        QTRY_VERIFY2(real.has(arrived(u"M"_s)), qPrintable(member.err));
        return;
    }
    QTRY_VERIFY(!member.running());
    QCOMPARE(member.process.exitCode(), 1);
    QVERIFY2(member.err.startsWith(err), qPrintable(member.err));
    QVERIFY(!real.has(arrived(u"M"_s)) && !forger.has(arrived(u"M"_s)));
}

void tst_RoomDiscovery::aRoomIsAnnouncedOnceItsResponderAnswers()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    m_roomSide->freeze(true);
    auto thaw = qScopeGuard([&] { m_roomSide->freeze(false); });
    auto host = Tool::host(5, u"遅い"_s, m_roomSide->inNamespace);
    QTRY_VERIFY_WITH_TIMEOUT(host->err.contains(u"not announced"_s), kFindMs);
    thaw.dismiss();
    m_roomSide->freeze(false);
    const QString entry = u"%1\t%2\t%3\t1/5\t%4"_s.arg(m_net->roomAddress).arg(host->port())
                                  .arg(instanceOf(u"遅い"_s), keyPrefix(*host)) + u"\t-"_s;
    QStringList found;
    QVERIFY2(roomsUntil(m_memberSide->inNamespace, entry, &found), qPrintable(found.join(u'\n')));
    QCOMPARE(host->err.count(u"not announced"_s), 1);
}

void tst_RoomDiscovery::hostileAnnouncementsShowNothingUnreadable_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("shown"); // name, members and key; empty when not listed

    for (const Hostile &room : hostileRooms())
        QTest::newRow(room.row) << room.port << room.shown;
}

// Every hostile room at once, beside one listed as it should be: one wait
// for all of them to cross and one look at the list, which each row reads.
void tst_RoomDiscovery::announceAllHostileRooms()
{
    m_hostileFound.emplace();
    m_hostile = std::make_unique<Announcements>(m_roomSide->address);
    m_hostile->add(u"control"_s, 7000, kGood);
    for (const Hostile &room : hostileRooms())
        m_hostile->add(room.name, room.port, room.txt);
    const QString error = m_hostile->commit();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const int all = int(hostileRooms().size()) + 1;
    QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolved() == all; }, kFindMs));
    int exitCode = -1;
    const QStringList found = rooms(m_memberSide->inNamespace, &exitCode);
    QCOMPARE(exitCode, 0);
    // Each line is a row's, by the address and port it was announced at.
    const auto announced = [&](const QString &line) {
        return line.startsWith(atPort(7000)) || std::any_of(hostileRooms().begin(), hostileRooms().end(),
                                                            [&](const Hostile &r) { return line.startsWith(atPort(r.port)); });
    };
    for (const QString &line : found)
        QVERIFY2(announced(line), qPrintable(line));
    *m_hostileFound = found;
}

QString tst_RoomDiscovery::atPort(int port) const
{
    return u"%1\t%2\t"_s.arg(m_net->roomAddress).arg(port);
}

void tst_RoomDiscovery::hostileAnnouncementsShowNothingUnreadable()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(int, port);
    QFETCH(QString, shown);

    if (!m_hostileFound)
        announceAllHostileRooms();
    QVERIFY2(m_hostileFound->count(atPort(7000) + u"control\t1/5\t-\t-"_s) == 1,
             qPrintable(m_hostileFound->join(u'\n')));
    QStringList mine;
    for (const QString &line : std::as_const(*m_hostileFound)) {
        if (line.startsWith(atPort(port)))
            mine << line;
    }
    const QStringList expected = shown.isEmpty() ? QStringList() : QStringList{atPort(port) + shown};
    QCOMPARE(mine, expected);
}

void tst_RoomDiscovery::aRealRoomIsListedBesideHostileOnes_data()
{
    QTest::addColumn<QStringList>("flood"); // the TXT records of each of kFlood rooms, if any
    QTest::addColumn<bool>("elsewhere");    // they come from another machine than the real room
    QTest::addColumn<bool>("late");         // the real room's address is not known at first
    QTest::addColumn<int>("listed");        // by `rooms`, the real room included

    QTest::newRow("two hundred rooms of one machine leave the list's last place to another")
        << kGood << true << false << kMaxRooms;
    QTest::newRow("two hundred rooms of another version take no place")
        << QStringList{u"v=4"_s, u"n=1"_s} << false << false << 1;
    // Last: no other row waits for the end of a room that never resolved.
    QTest::newRow("a room whose address comes late is listed once it resolves")
        << QStringList() << false << true << 1;
}

// A browser in this process listens the whole time: first to a flood, then
// to the real room, so that the real one is the last it hears of.
void tst_RoomDiscovery::aRealRoomIsListedBesideHostileOnes()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(QStringList, flood);
    QFETCH(bool, elsewhere);
    QFETCH(bool, late);
    QFETCH(int, listed);
    m_hostile.reset();
    QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolved() == 0; }, kFindMs));
    const QString subnet = m_net->roomAddress.section(u'.', 0, 2);
    const QString realAt = subnet + u".88"_s;

    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_memberSide->address.toUtf8());
    TAVIXLibCtl::RoomBrowser browser;
    QSignalSpy settled(&browser, &TAVIXLibCtl::RoomBrowser::settled);
    browser.start();
    QVERIFY(settled.wait(kFindMs));

    Announcements addresses(m_roomSide->address), others(m_roomSide->address), real(m_roomSide->address);
    if (!late)
        addresses.address(u"real.local"_s, realAt);
    if (elsewhere)
        addresses.address(u"flood.local"_s, subnet + u".77"_s);
    for (int i = 0; i < (flood.isEmpty() ? 0 : kFlood); ++i)
        others.add(u"flood %1"_s.arg(i + 1), 6100 + i, flood, elsewhere ? u"flood.local"_s : u"real.local"_s);
    const int copies = flood.isEmpty() ? 0 : kFlood;
    if (copies > 0) {
        QCOMPARE(addresses.commit(), QString());
        QCOMPARE(others.commit(), QString());
    }
    QVERIFY(QTest::qWaitFor([&] { return m_memberSide->resolved() == copies; }, kFindMs));

    settled.clear();
    real.add(u"real"_s, 7100, kGood, u"real.local"_s);
    QCOMPARE(real.commit(), QString());
    if (late) {
        // Tried, and given up on for now: only then is there an address.
        QVERIFY(QTest::qWaitFor([&] { return !settled.isEmpty(); }, kFindMs));
        addresses.address(u"real.local"_s, realAt);
        QCOMPARE(addresses.commit(), QString());
    }
    const QString line = u"%1\t7100\treal\t1/5\t-\t-"_s.arg(realAt);
    const auto inBrowser = [&] {
        return std::any_of(browser.rooms().begin(), browser.rooms().end(), [&](const TAVIXLibCtl::FoundRoom &r) {
            return r.service == u"real"_s && r.address == realAt;
        });
    };
    QVERIFY(QTest::qWaitFor(inBrowser, kFindMs));
    QCOMPARE(browser.rooms().size(), listed);

    int exitCode = -1;
    const QStringList found = rooms(m_memberSide->inNamespace, &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(found.size(), listed);
    QVERIFY2(found.contains(line), qPrintable(found.join(u'\n')));
    for (const QString &entry : found)
        QVERIFY2(entry.count(u'\t') == 5, qPrintable(entry));
}

void tst_RoomDiscovery::theListIsSharedBetweenMachines_data()
{
    QTest::addColumn<int>("machines"); // each with the same number of rooms
    QTest::addColumn<int>("each");
    QTest::addColumn<bool>("pinned");  // a key is kept for the last room's host
    QTest::addColumn<bool>("freed");   // one room listed first stops being listable

    QTest::newRow("one machine's hundred rooms leave a place to another") << 1 << 100 << false << false;
    QTest::newRow("a host whose key is kept goes before sixty-four others") << 64 << 1 << true << false;
    QTest::newRow("a room left out takes the place that frees") << 64 << 1 << false << true;
}

// What the daemon would resolve, offered straight to the list, with no bus.
void tst_RoomDiscovery::theListIsSharedBetweenMachines()
{
    QFETCH(int, machines);
    QFETCH(int, each);
    QFETCH(bool, pinned);
    QFETCH(bool, freed);
    const QList<QByteArray> good{"v=3"};
    ConfigFolder config;
    const QString last = u"10.99.0.1"_s;
    if (pinned)
        QVERIFY(TAVIXLibCtl::KnownHosts().remember(last, 5120, QByteArray(32, 'k')));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    TAVIXLibCtl::RoomBrowser browser;
    browser.start(); // reads the kept keys
    for (int m = 0; m < machines; ++m) {
        for (int e = 0; e < each; ++e)
            browser.offer(u"room %1-%2"_s.arg(m).arg(e), u"10.98.%1.1"_s.arg(m), 5120 + e, good);
    }
    browser.offer(u"last"_s, last, 5120, good);
    if (freed)
        browser.offer(u"room 0-0"_s, u"10.98.0.1"_s, 5120, {"v=4"});
    const auto listed = [&](const QString &service) {
        return std::any_of(browser.rooms().begin(), browser.rooms().end(),
                           [&](const TAVIXLibCtl::FoundRoom &r) { return r.service == service; });
    };
    QTRY_VERIFY(listed(u"last"_s));
    QCOMPARE(browser.rooms().size(), kMaxRooms);
    QCOMPARE(browser.rowCount(), kMaxRooms);
}

QTEST_MAIN(tst_RoomDiscovery)
#include "tst_roomdiscovery.moc"
