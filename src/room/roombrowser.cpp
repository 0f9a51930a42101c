#include "roombrowser.h"

#include "avahidaemon.h"
#include "knownhosts.h"
#include "roomaddress.h"
#include "roomtext.h"
#include "wirecodec.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QScopedValueRollback>

#include <algorithm>

namespace TAVIXLibCtl {

namespace {

// A TXT value as a number from 0 to `max`, or -1: digits only, no sign, no
// leading junk, nothing longer than the biggest number allowed.
int number(const QByteArray &value, int max)
{
    if (value.isEmpty() || value.size() > QByteArray::number(max).size()
        || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const int n = value.toInt();
    return n <= max ? n : -1;
}

QString displayName(const QString &service)
{
    QString name = Wire::withoutFormatCharacters(Wire::cleanText(service));
    name.replace(u'\t', u' ');
    if (name.size() > RoomBrowser::kMaxName) {
        qsizetype keep = RoomBrowser::kMaxName - 1;
        if (name.at(keep - 1).isHighSurrogate())
            --keep;
        name = name.left(keep) + u'…';
    }
    return name;
}

} // namespace

QString FoundRoom::target() const
{
    return RoomAddress::format(address, port);
}

QString FoundRoom::entry() const
{
    QString text = name + u' ' + target();
    if (members >= 0)
        text += QStringLiteral(" %1/%2人").arg(members).arg(size);
    if (full())
        text += QStringLiteral("(満員)");
    if (!key.isEmpty())
        text += QStringLiteral(" 鍵 ") + RoomText::keyPrefix(key.left(8));
    if (alike)
        text += QStringLiteral(" ⚠似た名前");
    if (joinedBefore)
        text += QStringLiteral(" 前に参加");
    return text;
}

QString FoundRoom::readsAs(const QString &name)
{
    return Wire::withoutFormatCharacters(name.normalized(QString::NormalizationForm_KC)).simplified();
}

std::optional<FoundRoom> FoundRoom::fromService(const QString &service, const QString &address,
                                                int port, const QList<QByteArray> &txt)
{
    const QHostAddress host(address);
    if (host.isNull() || port < 1 || port > 65535)
        return std::nullopt;
    // Keys are case-insensitive and the first of each counts, as DNS-SD has it.
    std::optional<QByteArray> version, members, size, key;
    for (const QByteArray &record : txt) {
        const qsizetype eq = record.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray name = record.left(eq).toLower();
        std::optional<QByteArray> *field = name == "v"     ? &version
                                           : name == "n"   ? &members
                                           : name == "max" ? &size
                                           : name == "key" ? &key
                                                           : nullptr;
        if (field && !*field)
            *field = record.mid(eq + 1);
    }
    // A room of another version, or one that does not say, cannot be joined.
    if (!version || number(*version, 65535) != Wire::kVersion)
        return std::nullopt;

    FoundRoom room{.service = service, .name = displayName(service), .address = host.toString(),
                   .port = quint16(port)};
    const int n = members ? number(*members, Wire::kMaxRoomSize) : -1;
    const int max = size ? number(*size, Wire::kMaxRoomSize) : -1;
    if (max >= 1 && n >= 0 && n <= max) {
        room.members = n;
        room.size = max;
    }
    static const QRegularExpression hex16(QStringLiteral("^[0-9a-fA-F]{16}$"));
    if (key && hex16.match(QString::fromLatin1(*key)).hasMatch())
        room.key = QString::fromLatin1(*key).toLower();
    return room;
}

RoomBrowser::RoomBrowser(QObject *parent) : QAbstractListModel(parent)
{
    // First of all who watch the rows: views read them marked.
    connect(this, &RoomBrowser::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
        mark(first, last);
    });
    connect(this, &RoomBrowser::dataChanged, this, [this](const QModelIndex &first, const QModelIndex &last) {
        if (!m_marking)
            mark(first.row(), last.row());
    });
    connect(this, &RoomBrowser::rowsRemoved, this, [this] { mark(0, -1); });
    connect(this, &RoomBrowser::modelReset, this, [this] { mark(0, int(m_rooms.size()) - 1); });
}

RoomBrowser::~RoomBrowser()
{
    forget();
}

void RoomBrowser::start()
{
    if (m_active)
        return;
    m_active = true;
    if (m_daemon) {
        browse();
        return;
    }
    m_daemon = new AvahiDaemon(this);
    connect(m_daemon, &AvahiDaemon::running, this, &RoomBrowser::browse);
    connect(m_daemon, &AvahiDaemon::stopped, this, &RoomBrowser::forget);
    connect(m_daemon, &AvahiDaemon::unreachable, this, &RoomBrowser::unavailable);
    connect(m_daemon, &AvahiDaemon::signalled, this, &RoomBrowser::handleSignal);
    m_daemon->listen(AvahiDaemon::ServiceBrowser);
    m_daemon->listen(AvahiDaemon::ServiceResolver);
    m_daemon->start();
}

void RoomBrowser::stop()
{
    m_active = false;
    forget();
}

void RoomBrowser::browse()
{
    if (!m_active || !m_daemon->isRunning() || m_browsing)
        return;
    // Made first and started once its signals are ours, so that none is missed.
    m_browsing = true;
    m_daemon->call(QStringLiteral("/"), AvahiDaemon::Server2, QStringLiteral("ServiceBrowserPrepare"),
                   {AvahiDaemon::AnyInterface, int(AvahiDaemon::AnyProtocol), AvahiDaemon::ServiceType,
                    QString(), 0u},
                   [this, epoch = m_epoch](const QDBusMessage &reply) {
                       const QString path = AvahiDaemon::objectPath(reply);
                       if (epoch != m_epoch) {
                           if (!path.isEmpty())
                               m_daemon->call(path, AvahiDaemon::ServiceBrowser, QStringLiteral("Free"));
                           return;
                       }
                       if (path.isEmpty()) {
                           m_browsing = false;
                           emit unavailable(reply.errorMessage());
                           return;
                       }
                       m_browser = path;
                       m_daemon->call(path, AvahiDaemon::ServiceBrowser, QStringLiteral("Start"));
                   });
}

void RoomBrowser::handleSignal(const QDBusMessage &message)
{
    const QString member = message.member();
    if (message.interface() == AvahiDaemon::ServiceBrowser && message.path() == m_browser) {
        if (member == QLatin1String("ItemNew"))
            serviceSeen(message.arguments());
        else if (member == QLatin1String("ItemRemove"))
            serviceGone(message.arguments());
        else if (member == QLatin1String("AllForNow"))
            m_allForNow = true;
        else if (member == QLatin1String("Failure"))
            emit unavailable(message.arguments().value(0).toString());
    } else if (message.interface() == AvahiDaemon::ServiceResolver) {
        if (member == QLatin1String("Found")) {
            resolved(message.path(), message.arguments());
        } else if (member == QLatin1String("Failure")) {
            const auto it = std::find_if(m_services.begin(), m_services.end(),
                                         [&](const Service &s) { return s.resolver == message.path(); });
            if (it != m_services.end())
                dropService(it);
        }
    }
    checkSettled();
}

// ItemNew and ItemRemove: interface, protocol, name, type, domain, flags.
void RoomBrowser::serviceSeen(const QVariantList &args)
{
    if (args.size() < 5)
        return;
    const Sighting seen{args.at(0).toInt(), args.at(1).toInt()};
    const QString name = args.at(2).toString();
    auto it = findService(name);
    if (it == m_services.end()) {
        // A flood of announcements takes no more than this.
        if (m_services.size() >= kMaxRooms)
            return;
        it = m_services.insert(m_services.end(), Service{.name = name, .domain = args.at(4).toString()});
    }
    if (std::find(it->seen.begin(), it->seen.end(), seen) == it->seen.end())
        it->seen.push_back(seen);
    resolve(*it);
}

void RoomBrowser::serviceGone(const QVariantList &args)
{
    if (args.size() < 5)
        return;
    const Sighting seen{args.at(0).toInt(), args.at(1).toInt()};
    const auto it = findService(args.at(2).toString());
    if (it == m_services.end())
        return;
    std::erase(it->seen, seen);
    if (it->seen.empty())
        dropService(it);
    else
        resolve(*it);
}

// Resolves where the service was seen over IPv4 when it was, for an address
// that needs no interface named to be reached.
void RoomBrowser::resolve(Service &service)
{
    const auto best = std::min_element(service.seen.begin(), service.seen.end(),
                                       [](const Sighting &a, const Sighting &b) {
                                           return (a.protocol == AvahiDaemon::IPv4) > (b.protocol == AvahiDaemon::IPv4);
                                       });
    if (service.request != 0 && service.resolving == *best)
        return;
    freeResolver(service);
    service.resolving = *best;
    service.request = ++m_requests;
    m_daemon->call(QStringLiteral("/"), AvahiDaemon::Server2, QStringLiteral("ServiceResolverPrepare"),
                   {best->interface, best->protocol, service.name, AvahiDaemon::ServiceType,
                    service.domain, best->protocol, 0u},
                   [this, name = service.name, request = service.request](const QDBusMessage &reply) {
                       const QString path = AvahiDaemon::objectPath(reply);
                       const auto it = findService(name);
                       if (it == m_services.end() || it->request != request) {
                           if (!path.isEmpty())
                               m_daemon->call(path, AvahiDaemon::ServiceResolver, QStringLiteral("Free"));
                           return;
                       }
                       if (path.isEmpty()) {
                           dropService(it);
                           checkSettled();
                           return;
                       }
                       it->resolver = path;
                       m_daemon->call(path, AvahiDaemon::ServiceResolver, QStringLiteral("Start"));
                   });
}

// Found: interface, protocol, name, type, domain, host, aprotocol, address,
// port, txt, flags. It comes again whenever the room's records change. The
// daemon sends the first one as soon as it knows the records, which may be
// before its reply naming the resolver has reached us.
void RoomBrowser::resolved(const QString &path, const QVariantList &args)
{
    if (args.size() < 10)
        return;
    const Sighting where{args.at(0).toInt(), args.at(1).toInt()};
    const auto it = std::find_if(m_services.begin(), m_services.end(), [&](const Service &s) {
        return s.resolver == path
               || (s.resolver.isEmpty() && s.request != 0 && s.resolving == where && s.name == args.at(2).toString());
    });
    if (it == m_services.end())
        return;
    QHostAddress address(args.at(7).toString());
    if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
        address.setScopeId(QNetworkInterface::interfaceNameFromIndex(args.at(0).toInt()));
    const auto txt = qdbus_cast<QList<QByteArray>>(args.at(9));
    it->found = true;
    offer(it->name, address.toString(), args.at(8).toInt(), txt);
}

void RoomBrowser::offer(const QString &service, const QString &address, int port,
                        const QList<QByteArray> &txt)
{
    const std::optional<FoundRoom> room = FoundRoom::fromService(service, address, port, txt);
    if (!room) {
        hide(service);
        return;
    }
    // The name comes from the service, so a room keeps its row as it changes.
    const auto before = [](const FoundRoom &a, const FoundRoom &b) {
        return std::tie(a.name, a.service) < std::tie(b.name, b.service);
    };
    const auto at = std::lower_bound(m_rooms.begin(), m_rooms.end(), *room, before);
    const int row = int(at - m_rooms.begin());
    if (at != m_rooms.end() && at->service == service) {
        *at = *room;
        emit dataChanged(index(row), index(row));
        return;
    }
    if (m_rooms.size() >= kMaxRooms)
        return;
    beginInsertRows({}, row, row);
    m_rooms.insert(row, *room);
    endInsertRows();
}

void RoomBrowser::hide(const QString &service)
{
    const auto at = std::find_if(m_rooms.cbegin(), m_rooms.cend(),
                                 [&](const FoundRoom &r) { return r.service == service; });
    if (at == m_rooms.cend())
        return;
    const int row = int(at - m_rooms.cbegin());
    beginRemoveRows({}, row, row);
    m_rooms.removeAt(row);
    endRemoveRows();
}

void RoomBrowser::dropService(std::vector<Service>::iterator service)
{
    freeResolver(*service);
    hide(service->name);
    m_services.erase(service);
}

void RoomBrowser::freeResolver(Service &service)
{
    if (!service.resolver.isEmpty())
        m_daemon->call(service.resolver, AvahiDaemon::ServiceResolver, QStringLiteral("Free"));
    service.resolver.clear();
    service.request = 0;
}

// Gives the daemon back all it made for us and empties the list.
void RoomBrowser::forget()
{
    ++m_epoch;
    if (!m_browser.isEmpty())
        m_daemon->call(m_browser, AvahiDaemon::ServiceBrowser, QStringLiteral("Free"));
    m_browser.clear();
    m_browsing = false;
    m_allForNow = false;
    for (Service &service : m_services)
        freeResolver(service);
    m_services.clear();
    if (m_rooms.isEmpty())
        return;
    beginResetModel();
    m_rooms.clear();
    endResetModel();
}

void RoomBrowser::checkSettled()
{
    if (m_allForNow && std::all_of(m_services.begin(), m_services.end(), [](const Service &s) { return s.found; }))
        emit settled();
}

std::vector<RoomBrowser::Service>::iterator RoomBrowser::findService(const QString &name)
{
    return std::find_if(m_services.begin(), m_services.end(), [&](const Service &s) { return s.name == name; });
}

void RoomBrowser::mark(int first, int last)
{
    const QScopedValueRollback marking(m_marking, true);
    QHash<QString, int> readers;
    QStringList readAs;
    for (const FoundRoom &room : std::as_const(m_rooms)) {
        readAs << FoundRoom::readsAs(room.name);
        ++readers[readAs.last()];
    }
    const KnownHosts known;
    for (int row = 0; row < m_rooms.size(); ++row) {
        FoundRoom &room = m_rooms[row];
        const bool alike = readers.value(readAs.at(row)) > 1;
        bool joinedBefore = room.joinedBefore;
        if (row >= first && row <= last) {
            const QList<QByteArray> pins = known.pins(room.address, room.port).fingerprints;
            joinedBefore = !room.key.isEmpty() && std::any_of(pins.begin(), pins.end(), [&](const QByteArray &pin) {
                return pin.toHex().startsWith(room.key.toLatin1());
            });
        }
        if (alike == room.alike && joinedBefore == room.joinedBefore)
            continue;
        room.alike = alike;
        room.joinedBefore = joinedBefore;
        emit dataChanged(index(row), index(row));
    }
}

int RoomBrowser::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rooms.size());
}

QVariant RoomBrowser::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rooms.size())
        return {};
    const FoundRoom &room = m_rooms.at(index.row());
    if (role == Qt::DisplayRole)
        return room.entry();
    switch (role) {
    case AddressRole:
        return room.address;
    case TargetRole:
        return room.target();
    case NameRole:
        return room.name;
    case KeyRole:
        return room.key;
    case Qt::ToolTipRole:
        return room.key.isEmpty() ? QVariant() : RoomText::announcedKey(room.key);
    default:
        return {};
    }
}

} // namespace TAVIXLibCtl
