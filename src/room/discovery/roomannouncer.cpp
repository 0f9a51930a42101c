#include "roomannouncer.h"

#include "avahidaemon.h"
#include "wirecodec.h"

#include <QDBusMessage>
#include <QSysInfo>

namespace TAVIXLibCtl {

namespace {

// DNS-SD's limit for an instance name, in UTF-8 bytes.
constexpr qsizetype kMaxInstanceBytes = 63;
// Leaves the display name most of those bytes.
constexpr qsizetype kMaxMachineChars = 24;
// A network that claims every name tried is not worth more tries.
constexpr int kMaxClashes = 16;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;
// A daemon too busy to answer, or one that failed us, is asked again after
// 1 s, then 2, 4... at most every 5 minutes.
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 300000;

QString machineName()
{
    return QSysInfo::machineHostName().section(u'.', 0, 0).left(kMaxMachineChars);
}

} // namespace

RoomAnnouncer::RoomAnnouncer(QObject *parent) : QObject(parent), m_daemon(new AvahiDaemon(this))
{
    connect(m_daemon, &AvahiDaemon::running, this, &RoomAnnouncer::sync);
    connect(m_daemon, &AvahiDaemon::stopped, this, &RoomAnnouncer::forgetGroup);
    connect(m_daemon, &AvahiDaemon::unreachable, this, &RoomAnnouncer::fail);
    connect(m_daemon, &AvahiDaemon::signalled, this, &RoomAnnouncer::handleSignal);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RoomAnnouncer::sync);
    m_daemon->listen(AvahiDaemon::EntryGroup);
    m_daemon->start();
}

RoomAnnouncer::~RoomAnnouncer()
{
    m_daemon->giveBack(m_group, AvahiDaemon::EntryGroup);
}

void RoomAnnouncer::announce(const Announcement &room)
{
    m_wanted = room;
    sync();
}

QString RoomAnnouncer::instanceName(const QString &hostName, const QString &machine)
{
    const QString suffix = QStringLiteral(" (%1)").arg(machine.left(kMaxMachineChars));
    QString name = hostName;
    while (!name.isEmpty() && (name + suffix).toUtf8().size() > kMaxInstanceBytes)
        name.chop(name.size() >= 2 && name.back().isLowSurrogate() ? 2 : 1);
    return name + suffix;
}

QList<QByteArray> RoomAnnouncer::txtRecords(const Announcement &room)
{
    QList<QByteArray> records{"v=" + QByteArray::number(Wire::kVersion), "n=" + QByteArray::number(room.members),
                              "max=" + QByteArray::number(room.size), "key=" + room.fingerprint.toHex().left(16)};
    // Only that there is one: nothing of the passphrase is announced.
    if (room.door)
        records << "door=1";
    return records;
}

template <typename Step>
std::function<void(const QDBusMessage &)> RoomAnnouncer::inThisEpoch(Step step)
{
    return m_daemon->unlessForgotten(AvahiDaemon::EntryGroup, [this, step = std::move(step)](const QDBusMessage &reply) {
        m_busy = false;
        const bool clash = reply.errorName() == QLatin1String("org.freedesktop.Avahi.CollisionError");
        if (reply.type() == QDBusMessage::ErrorMessage && !clash)
            fail(reply.errorMessage());
        else
            step(reply);
    });
}

// One step at a time toward what is wanted; each reply takes the next.
void RoomAnnouncer::sync()
{
    if (m_busy || !m_wanted || !m_daemon->isRunning())
        return;
    if (m_group.isEmpty()) {
        m_busy = true;
        m_daemon->call(QStringLiteral("/"), AvahiDaemon::Server, QStringLiteral("EntryGroupNew"), {},
                       inThisEpoch([this](const QDBusMessage &reply) {
                           m_group = AvahiDaemon::objectPath(reply);
                           sync();
                       }));
        return;
    }
    if (std::exchange(m_clashed, false)) {
        takeAlternativeName();
        return;
    }
    const QString own = instanceName(m_wanted->hostName, machineName());
    if (own != m_ownName) {
        m_ownName = m_name = own;
        m_clashes = 0;
    }
    if (!m_published || m_publishedName != m_name || m_published->port != m_wanted->port) {
        addService();
        return;
    }
    if (txtRecords(*m_published) == txtRecords(*m_wanted)) {
        m_failures = 0;
        return;
    }
    const Announcement now = *m_wanted;
    m_busy = true;
    m_daemon->call(m_group, AvahiDaemon::EntryGroup, QStringLiteral("UpdateServiceTxt"),
                   {AvahiDaemon::AnyInterface, int(AvahiDaemon::AnyProtocol), 0u, m_name,
                    AvahiDaemon::ServiceType, QString(), QVariant::fromValue(txtRecords(now))},
                   inThisEpoch([this, now](const QDBusMessage &) {
                       m_published = now;
                       sync();
                   }));
}

void RoomAnnouncer::addService()
{
    const Announcement now = *m_wanted;
    const QString name = m_name;
    m_published.reset();
    m_busy = true;
    m_daemon->call(m_group, AvahiDaemon::EntryGroup, QStringLiteral("Reset"));
    m_daemon->call(
            m_group, AvahiDaemon::EntryGroup, QStringLiteral("AddService"),
            {AvahiDaemon::AnyInterface, int(AvahiDaemon::AnyProtocol), 0u, name, AvahiDaemon::ServiceType,
             QString(), QString(), QVariant::fromValue(now.port), QVariant::fromValue(txtRecords(now))},
            inThisEpoch([this, now, name](const QDBusMessage &reply) {
                if (reply.type() == QDBusMessage::ErrorMessage) { // a service of ours on this machine has it
                    takeAlternativeName();
                    return;
                }
                m_busy = true;
                m_daemon->call(m_group, AvahiDaemon::EntryGroup, QStringLiteral("Commit"), {},
                               inThisEpoch([this, now, name](const QDBusMessage &) {
                                   m_published = now;
                                   m_publishedName = name;
                                   sync();
                               }));
            }));
}

void RoomAnnouncer::takeAlternativeName()
{
    if (++m_clashes > kMaxClashes) {
        fail(QStringLiteral("every name tried is taken on the network"));
        return;
    }
    m_published.reset();
    m_busy = true;
    m_daemon->call(QStringLiteral("/"), AvahiDaemon::Server, QStringLiteral("GetAlternativeServiceName"),
                   {m_name}, inThisEpoch([this](const QDBusMessage &reply) {
                       m_name = reply.arguments().value(0).toString();
                       sync();
                   }));
}

void RoomAnnouncer::handleSignal(const QDBusMessage &message)
{
    if (message.interface() != AvahiDaemon::EntryGroup || message.path() != m_group
        || message.member() != QLatin1String("StateChanged"))
        return;
    const QVariantList args = message.arguments();
    const int state = args.value(0).toInt();
    if (state == kGroupCollision) {
        // Another host on the network had the name first.
        m_clashed = true;
        m_published.reset();
        sync();
    } else if (state == kGroupFailure) {
        fail(args.value(1).toString());
    }
}

// The daemon's objects are gone, or are given back: all starts over when it runs again.
void RoomAnnouncer::forgetGroup()
{
    m_daemon->giveBack(m_group, AvahiDaemon::EntryGroup);
    m_group.clear();
    m_published.reset();
    m_busy = false;
    m_clashed = false;
    m_daemon->forgetAll();
}

void RoomAnnouncer::fail(const QString &why)
{
    forgetGroup();
    m_retry.start(std::min(kFirstRetryMs << std::min(m_failures++, 9), kLastRetryMs));
    if (!std::exchange(m_reported, true))
        emit unavailable(why);
}

} // namespace TAVIXLibCtl
