#include "roombrowser.h"

#include "avahidaemon.h"
#include "knownhosts.h"
#include "roomaddress.h"
#include "wirecodec.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QScopedValueRollback>
#include <QThread>

#include <algorithm>
#include <memory>

namespace TAVIXLibCtl {

namespace {

// A resolve not done by then has failed; the daemon itself waits 5 s.
constexpr qint64 kResolveMs = 2000;
// A room that failed to resolve is tried again after 1 s, then 2, 4... 60.
constexpr qint64 kFirstRetryMs = 1000;
constexpr qint64 kLastRetryMs = 60000;

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
    std::optional<QByteArray> version, members, size, key, door;
    for (const QByteArray &record : txt) {
        const qsizetype eq = record.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray name = record.left(eq).toLower();
        std::optional<QByteArray> *field = name == "v"     ? &version
                                           : name == "n"   ? &members
                                           : name == "max" ? &size
                                           : name == "key" ? &key
                                           : name == "door" ? &door
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
    room.door = door && *door == "1";
    return room;
}

RoomBrowser::RoomBrowser(QObject *parent) : QAbstractListModel(parent)
{
    m_clock.start();
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, [this] {
        pump();
        checkSettled();
    });
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
    readPins();
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

// The kept keys, read on a thread of their own: a home folder may be slow.
// Each start reads them again, as a room joined since may have added one.
void RoomBrowser::readPins()
{
    auto pinned = std::make_shared<QStringList>();
    QThread *reader = QThread::create([pinned, path = KnownHosts::defaultPath()] {
        *pinned = KnownHosts(path).addresses();
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    connect(reader, &QThread::finished, this, [this, pinned] {
        m_pinned = QSet<QString>(pinned->cbegin(), pinned->cend());
        relist();
    });
    reader->start();
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
                   m_daemon->unlessForgotten(AvahiDaemon::ServiceBrowser, [this](const QDBusMessage &reply) {
                       const QString path = AvahiDaemon::objectPath(reply);
                       if (path.isEmpty()) {
                           m_browsing = false;
                           emit unavailable(reply.errorMessage());
                           return;
                       }
                       m_browser = path;
                       m_daemon->call(path, AvahiDaemon::ServiceBrowser, QStringLiteral("Start"));
                   }));
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
                                         [&](const auto &s) { return s.second.resolver == message.path(); });
            if (it != m_services.end())
                resolveFailed(it->second);
        }
    }
    pump();
    checkSettled();
}

// ItemNew and ItemRemove: interface, protocol, name, type, domain, flags.
void RoomBrowser::serviceSeen(const QVariantList &args)
{
    if (args.size() < 5)
        return;
    const Sighting seen{args.at(0).toInt(), args.at(1).toInt()};
    const QString name = args.at(2).toString();
    auto it = m_services.find(name);
    if (it == m_services.end()) {
        if (int(m_services.size()) >= kMaxServices && !makeRoomForOne())
            return;
        it = m_services.emplace(name, Service{.name = name, .domain = args.at(4).toString(),
                                              .arrival = ++m_arrivals}).first;
        // A room offered before it was heard of keeps its row.
        it->second.listed = std::any_of(m_rooms.cbegin(), m_rooms.cend(),
                                        [&](const FoundRoom &r) { return r.service == name; });
    }
    Service &service = it->second;
    if (std::find(service.seen.begin(), service.seen.end(), seen) == service.seen.end())
        service.seen.push_back(seen);
    // Resolved over IPv4 when it can be, for an address that needs no
    // interface named to be reached: a better sighting starts it over.
    if (service.request != 0 && seen.protocol == AvahiDaemon::IPv4 && service.resolving.protocol != AvahiDaemon::IPv4)
        freeResolver(service);
}

void RoomBrowser::serviceGone(const QVariantList &args)
{
    if (args.size() < 5)
        return;
    const Sighting seen{args.at(0).toInt(), args.at(1).toInt()};
    const auto it = m_services.find(args.at(2).toString());
    if (it == m_services.end())
        return;
    Service &service = it->second;
    std::erase(service.seen, seen);
    if (service.seen.empty())
        dropService(it);
    else if (service.request != 0 && service.resolving == seen)
        freeResolver(service);
}

// The table of names is full: the first to go is one that cannot be listed,
// then one left out from the address that has the most rooms, the newest.
bool RoomBrowser::makeRoomForOne()
{
    auto victim = m_services.end();
    std::tuple<bool, size_t, quint64> worst{};
    for (auto it = m_services.begin(); it != m_services.end(); ++it) {
        const Service &service = it->second;
        if (service.request != 0 || !service.answered || service.listed)
            continue;
        const auto candidate = m_candidates.find(service.name);
        const bool unlisted = candidate == m_candidates.end();
        const std::tuple key{unlisted, unlisted ? 0 : m_byAddress.at(candidate->second.room.address).size(),
                             unlisted ? service.arrival : candidate->second.since};
        if (victim == m_services.end() || key > worst) {
            victim = it;
            worst = key;
        }
    }
    if (victim == m_services.end())
        return false;
    dropService(victim);
    return true;
}

void RoomBrowser::pump()
{
    if (!m_daemon || !m_daemon->isRunning() || m_browser.isEmpty())
        return;
    const qint64 now = m_clock.elapsed();
    for (auto &[name, service] : m_services) {
        if (service.request != 0 && !service.following && service.deadline <= now)
            resolveFailed(service);
    }
    int busy = 0;
    std::vector<Service *> due;
    for (auto &[name, service] : m_services) {
        if (service.request != 0) {
            busy += service.following ? 0 : 1;
        } else if (service.listed || !service.answered || (service.failures > 0 && service.retryAt <= now)) {
            due.push_back(&service);
        }
    }
    // Rooms listed without a resolver first, then the names heard of first.
    const auto first = [](const Service *a, const Service *b) {
        return std::pair(!a->listed, a->arrival) < std::pair(!b->listed, b->arrival);
    };
    const size_t starting = std::min(due.size(), size_t(std::max(0, kMaxResolving - busy)));
    std::partial_sort(due.begin(), due.begin() + qsizetype(starting), due.end(), first);
    for (size_t i = 0; i < starting; ++i)
        resolve(*due[i]);

    // Those due that wait for a resolver get one as the next answer frees it.
    qint64 next = -1;
    for (const auto &[name, service] : m_services) {
        const qint64 at = service.request != 0 ? (service.following ? -1 : service.deadline)
                          : service.failures > 0 && service.retryAt > now ? service.retryAt
                                                                          : -1;
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    }
    if (next >= 0)
        m_wake.start(int(std::max<qint64>(0, next - now)));
    else
        m_wake.stop();
}

void RoomBrowser::resolve(Service &service)
{
    // Over IPv4 where it was seen so.
    const auto best = std::min_element(service.seen.begin(), service.seen.end(),
                                       [](const Sighting &a, const Sighting &b) {
                                           return (a.protocol == AvahiDaemon::IPv4) > (b.protocol == AvahiDaemon::IPv4);
                                       });
    service.resolving = *best;
    service.request = ++m_requests;
    service.deadline = m_clock.elapsed() + kResolveMs;
    service.following = false;
    m_daemon->call(QStringLiteral("/"), AvahiDaemon::Server2, QStringLiteral("ServiceResolverPrepare"),
                   {best->interface, best->protocol, service.name, AvahiDaemon::ServiceType,
                    service.domain, best->protocol, 0u},
                   [this, name = service.name, request = service.request](const QDBusMessage &reply) {
                       const QString path = AvahiDaemon::objectPath(reply);
                       const auto it = m_services.find(name);
                       if (it == m_services.end() || it->second.request != request) {
                           m_daemon->giveBack(path, AvahiDaemon::ServiceResolver);
                           return;
                       }
                       if (path.isEmpty()) {
                           resolveFailed(it->second);
                           pump();
                           checkSettled();
                           return;
                       }
                       it->second.resolver = path;
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
    const auto it = m_services.find(args.at(2).toString());
    if (it == m_services.end())
        return;
    Service &service = it->second;
    if (service.resolver != path && !(service.resolver.isEmpty() && service.request != 0 && service.resolving == where))
        return;
    QHostAddress address(args.at(7).toString());
    if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
        address.setScopeId(QNetworkInterface::interfaceNameFromIndex(args.at(0).toInt()));
    // Avahi hands the strings over last first.
    auto txt = qdbus_cast<QList<QByteArray>>(args.at(9));
    std::reverse(txt.begin(), txt.end());
    service.answered = true;
    service.failures = 0;
    offer(service.name, address.toString(), args.at(8).toInt(), txt);
    // A resolver stays only to keep a listed room current.
    if (service.listed)
        service.following = true;
    else
        freeResolver(service);
}

void RoomBrowser::resolveFailed(Service &service)
{
    freeResolver(service);
    service.answered = true;
    ++service.failures;
    service.retryAt = m_clock.elapsed() + std::min(kFirstRetryMs << std::min(service.failures - 1, 16), kLastRetryMs);
    dropCandidate(service.name);
    relist();
}

void RoomBrowser::offer(const QString &service, const QString &address, int port,
                        const QList<QByteArray> &txt)
{
    const std::optional<FoundRoom> room = FoundRoom::fromService(service, address, port, txt);
    if (!room) {
        dropCandidate(service);
        relist();
        return;
    }
    auto [it, added] = m_candidates.try_emplace(service);
    Candidate &candidate = it->second;
    if (added)
        candidate.since = ++m_since;
    else
        unindex(candidate);
    candidate.room = *room;
    m_byAddress[room->address][candidate.since] = service;
    relist();
    const auto row = std::find_if(m_rooms.begin(), m_rooms.end(), [&](const FoundRoom &r) { return r.service == service; });
    if (row != m_rooms.end()) {
        *row = candidate.room;
        const QModelIndex at = index(int(row - m_rooms.begin()));
        emit dataChanged(at, at);
    }
}

void RoomBrowser::dropCandidate(const QString &service)
{
    const auto it = m_candidates.find(service);
    if (it == m_candidates.end())
        return;
    unindex(it->second);
    m_candidates.erase(it);
}

void RoomBrowser::unindex(const Candidate &candidate)
{
    const auto byAddress = m_byAddress.find(candidate.room.address);
    byAddress->second.erase(candidate.since);
    if (byAddress->second.empty())
        m_byAddress.erase(byAddress);
}

void RoomBrowser::relist()
{
    // Pinned or not, turn, since: the smallest are listed.
    using Place = std::tuple<bool, int, quint64, const Candidate *>;
    std::vector<Place> places;
    for (const auto &[address, bySince] : m_byAddress) {
        const bool pinned = m_pinned.contains(address);
        int turn = 0;
        for (auto it = bySince.begin(); it != bySince.end() && turn < kMaxRooms; ++it, ++turn)
            places.emplace_back(!pinned, turn, it->first, &m_candidates.at(it->second));
    }
    const size_t listed = std::min(places.size(), size_t(kMaxRooms));
    std::partial_sort(places.begin(), places.begin() + qsizetype(listed), places.end());
    places.resize(listed);
    QSet<QString> wanted;
    for (const Place &place : places)
        wanted.insert(std::get<3>(place)->room.service);

    for (int row = int(m_rooms.size()) - 1; row >= 0; --row) {
        const QString service = m_rooms.at(row).service;
        if (wanted.contains(service))
            continue;
        beginRemoveRows({}, row, row);
        m_rooms.removeAt(row);
        endRemoveRows();
        if (const auto it = m_services.find(service); it != m_services.end()) {
            it->second.listed = false;
            if (it->second.following)
                freeResolver(it->second);
        }
    }
    // The name comes from the service, so a room keeps its row as it changes.
    const auto before = [](const FoundRoom &a, const FoundRoom &b) {
        return std::tie(a.name, a.service) < std::tie(b.name, b.service);
    };
    for (const Place &place : places) {
        const FoundRoom &room = std::get<3>(place)->room;
        const auto at = std::lower_bound(m_rooms.begin(), m_rooms.end(), room, before);
        if (at != m_rooms.end() && at->service == room.service)
            continue;
        const int row = int(at - m_rooms.begin());
        beginInsertRows({}, row, row);
        m_rooms.insert(row, room);
        endInsertRows();
        if (const auto it = m_services.find(room.service); it != m_services.end())
            it->second.listed = true;
    }
}

void RoomBrowser::dropService(std::map<QString, Service>::iterator service)
{
    freeResolver(service->second);
    dropCandidate(service->first);
    m_services.erase(service);
    relist();
}

void RoomBrowser::freeResolver(Service &service)
{
    m_daemon->giveBack(service.resolver, AvahiDaemon::ServiceResolver);
    service.resolver.clear();
    service.request = 0;
    service.following = false;
}

// Gives the daemon back all it made for us and empties the list.
void RoomBrowser::forget()
{
    if (m_daemon)
        m_daemon->forgetAll();
    m_wake.stop();
    m_daemon->giveBack(m_browser, AvahiDaemon::ServiceBrowser);
    m_browser.clear();
    m_browsing = false;
    m_allForNow = false;
    for (auto &[name, service] : m_services)
        freeResolver(service);
    m_services.clear();
    m_candidates.clear();
    m_byAddress.clear();
    if (m_rooms.isEmpty())
        return;
    beginResetModel();
    m_rooms.clear();
    endResetModel();
}

void RoomBrowser::checkSettled()
{
    if (m_allForNow
        && std::all_of(m_services.begin(), m_services.end(), [](const auto &s) { return s.second.answered; }))
        emit settled();
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
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return room.name;
    case RoomRole:
        return QVariant::fromValue(room);
    case AddressRole:
        return room.address;
    case TargetRole:
        return room.target();
    case KeyRole:
        return room.key;
    default:
        return {};
    }
}

} // namespace TAVIXLibCtl
