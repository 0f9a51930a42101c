#include "roomhost.h"

#include "hostidentity.h"
#include "memberkeys.h"

#include <QLoggingCategory>
#include <QPointer>

#include <unistd.h>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcHost, "tavix.room.host", QtWarningMsg)

namespace {
constexpr int kListenBacklog = 512;

// A value as it enters the room: a name without invisible marks, and short.
QString entering(const QString &key, const QString &value)
{
    return MemberValues::kept(key, key == MemberKeys::Name ? Wire::withoutFormatCharacters(value) : value);
}
} // namespace

// The door and the wire must agree on what a nonce is.
static_assert(RoomDoor::kNonceBytes == Wire::kNonceBytes);

using Wire::Message;
using Wire::MessageType;

RoomHost::RoomHost(int size, const Timeouts &timeouts, QObject *parent)
    : QObject(parent)
    , m_timeouts(timeouts)
    , m_table(size)
    , m_links(size_t(size), nullptr)
    , m_renames(size_t(size))
    , m_stall(timeouts.stall)
{
    m_clock.start();
    // The rule asks for a check when a member would reach the bound.
    m_stallCheck.setTimerType(Qt::PreciseTimer);
    m_stallCheck.setSingleShot(true);
    connect(&m_stallCheck, &QTimer::timeout, this, &RoomHost::dropStalledMembers);
    connect(&m_server, &QTcpServer::newConnection, this, &RoomHost::acceptConnections);
    // Qt takes one connection off the kernel's queue ahead of us, no more.
    m_server.setMaxPendingConnections(1);
    m_joinerCheck.setSingleShot(true);
    connect(&m_joinerCheck, &QTimer::timeout, this, &RoomHost::checkJoiners);
    m_renameCheck.setSingleShot(true);
    connect(&m_renameCheck, &QTimer::timeout, this, &RoomHost::releaseRenames);
}

RoomHost::~RoomHost()
{
    close();
}

void RoomHost::Server::incomingConnection(qintptr descriptor)
{
    // Only the descriptor: the link makes its own socket of it.
    addPendingConnection(new Accepted(descriptor, this));
}

RoomHost::Accepted::~Accepted()
{
    if (m_descriptor >= 0)
        ::close(int(m_descriptor));
}

bool RoomHost::loadIdentity(const QString &path)
{
    QString error;
    const auto identity = HostIdentity::loadOrCreate(path, &error);
    if (!identity) {
        m_listenError = EndReason::ListenFailed;
        m_listenErrorDetail = error;
        return false;
    }
    m_tls = TlsContext::forHost(*identity, &m_listenErrorDetail);
    if (m_tls.isNull()) {
        m_listenError = EndReason::ListenFailed;
        return false;
    }
    m_fingerprint = identity->fingerprint();
    return true;
}

bool RoomHost::listen(quint16 port, const QString &identityPath)
{
    if (!loadIdentity(identityPath))
        return false;
    // A burst of connections waits in the kernel rather than losing a
    // member's SYN to a full queue: a lost SYN costs it a second or more.
    m_server.setListenBacklogSize(kListenBacklog);
    // Any is dual-stack: one socket takes IPv4 and IPv6 joiners alike.
    if (m_server.listen(QHostAddress::Any, port))
        return true;
    m_listenError = m_server.serverError() == QAbstractSocket::AddressInUseError
                        ? EndReason::PortInUse
                        : EndReason::ListenFailed;
    qCDebug(lcHost) << "cannot listen:" << m_server.errorString();
    return false;
}

qint64 RoomHost::outboundLimit() const
{
    // Room for a whole snapshot of full members on top of what makes the
    // room wait.
    return 4 * StallRule::kBehind
           + qint64(size()) * MemberValues::kMaxUnits * Wire::kUtf8BytesPerUnit;
}

void RoomHost::start(const MemberValues::Values &hostValues)
{
    for (const auto &[key, value] : hostValues) {
        m_table.setValue(0, key, value);
        emit roomEvent({RoomEvent::Kind::Store, 0, key, value});
    }
    m_table.occupy(0);
    emit roomEvent({RoomEvent::Kind::Arrive, 0, {}, {}});
    m_stallCheck.start(m_stall.interval());
}

void RoomHost::setHostValue(const QString &key, const QString &value)
{
    if (m_table.isPresent(0))
        update(0, key, value);
}

void RoomHost::close()
{
    m_server.close();
    m_stallCheck.stop();
    m_joinerCheck.stop();
    m_renameCheck.stop();
    for (auto &link : m_links) {
        if (link) {
            // Members tell a room that ended from a link that broke by this.
            link->send(Message::bye());
            link->close();
        }
        link = nullptr;
    }
    for (auto &joiner : m_joiners)
        joiner.link->abort();
    m_joiners.clear();
}

void RoomHost::acceptConnections()
{
    while (m_server.hasPendingConnections()) {
        if (int(m_joiners.size()) >= kMaxJoiners && !dropStalest()) {
            m_acceptWaits = true;
            armJoinerCheck();
            return;
        }
        auto *accepted = static_cast<Accepted *>(m_server.nextPendingConnection());
        const qintptr descriptor = accepted->take();
        delete accepted;
        auto *socket = new TlsStream;
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            continue;
        }
        auto *link = new FramedLink(socket, m_tls, m_timeouts, outboundLimit(), this);
        link->setKnownKeys(MemberKeys::Shared);
        connect(link, &FramedLink::progressed, this, [this, link] { stepped(link); });
        connect(link, &FramedLink::greeted, this, [this, link] { greet(link); });
        connect(link, &FramedLink::messageReceived, this,
                [this, link](const Message &m) { handleJoinerMessage(link, m); });
        connect(link, &FramedLink::versionMismatch, this, [this, link] { refuseOtherVersion(link); });
        connect(link, &FramedLink::ended, this, [this, link] {
            const auto it = findJoiner(link);
            if (it == m_joiners.end())
                return;
            // A member that leaves after our answer did not like it: a wrong guess.
            if (it->door == Joiner::Door::Answered)
                m_guesses.failed(it->from, sinceStart());
            forgetJoiner(it);
        });
        connect(link, &FramedLink::bytesWritten, this, [this] {
            if (m_paused)
                updateBackpressure();
        });
        m_joiners.push_back(Joiner{link, {}, sinceStart(), std::nullopt, socket->peerAddress()});
    }
    m_acceptWaits = false;
}

bool RoomHost::dropStalest()
{
    const auto stalest = std::min_element(m_joiners.begin(), m_joiners.end(),
                                          [](const Joiner &a, const Joiner &b) { return a.steppedAt < b.steppedAt; });
    if (stalest == m_joiners.end() || sinceStart() - stalest->steppedAt < kStale)
        return false;
    qCDebug(lcHost) << "making way for a newer connection:" << stalest->link->peerAddress();
    dropJoiner(stalest);
    return true;
}

void RoomHost::dropJoiner(std::vector<Joiner>::iterator joiner)
{
    refuse(joiner, Wire::RefuseReason::Busy);
}

void RoomHost::refuse(std::vector<Joiner>::iterator joiner, Wire::RefuseReason reason)
{
    FramedLink *link = joiner->link;
    forgetJoiner(joiner);
    if (link->state() != FramedLink::State::Handshaking) {
        link->abort(); // it cannot hear us yet
        return;
    }
    link->send(Message::refuse(reason));
    link->close();
}

FramedLink *RoomHost::forgetJoiner(std::vector<Joiner>::iterator joiner)
{
    FramedLink *link = joiner->link;
    m_joiners.erase(joiner);
    if (m_acceptWaits)
        m_joinerCheck.start(0);
    return link;
}

void RoomHost::stepped(FramedLink *link)
{
    const auto joiner = findJoiner(link);
    if (joiner == m_joiners.end())
        return;
    joiner->steppedAt = sinceStart();
    if (!joiner->securedAt && link->state() == FramedLink::State::Handshaking) {
        joiner->securedAt = joiner->steppedAt;
        armJoinerCheck();
    }
}

void RoomHost::checkJoiners()
{
    const StallRule::Duration now = sinceStart();
    const auto late = [&](const Joiner &p) { return p.securedAt && now - *p.securedAt >= m_timeouts.join; };
    for (auto it = std::find_if(m_joiners.begin(), m_joiners.end(), late); it != m_joiners.end();
         it = std::find_if(m_joiners.begin(), m_joiners.end(), late)) {
        qCDebug(lcHost) << "did not ask to join in time:" << it->link->peerAddress();
        dropJoiner(it);
    }
    if (m_acceptWaits && m_server.isListening())
        acceptConnections();
    armJoinerCheck();
}

void RoomHost::armJoinerCheck()
{
    // The next deadline: someone's time to join, or the stalest going stale.
    const StallRule::Duration now = sinceStart();
    std::optional<StallRule::Duration> next;
    const auto sooner = [&next](StallRule::Duration at) { next = next ? std::min(*next, at) : at; };
    for (const Joiner &p : m_joiners) {
        if (p.securedAt)
            sooner(*p.securedAt + m_timeouts.join);
        if (m_acceptWaits)
            sooner(p.steppedAt + kStale);
    }
    if (next)
        m_joinerCheck.start(std::max(StallRule::Duration(0), *next - now));
    else
        m_joinerCheck.stop();
}

std::vector<RoomHost::Joiner>::iterator RoomHost::findJoiner(FramedLink *link)
{
    return std::find_if(m_joiners.begin(), m_joiners.end(),
                        [link](const Joiner &p) { return p.link == link; });
}

void RoomHost::refuseOtherVersion(FramedLink *link)
{
    // Our preamble is already out; the joiner also gets a reason it can read.
    if (const auto it = findJoiner(link); it != m_joiners.end())
        forgetJoiner(it);
    link->send(Message::refuse(Wire::RefuseReason::OtherVersion));
    link->close();
}

// The member's preamble is read. One of the version before knows no door: it
// comes into an open room as it always did, and is told its version is
// another at a door.
void RoomHost::greet(FramedLink *link)
{
    const auto joiner = findJoiner(link);
    if (joiner == m_joiners.end())
        return;
    if (link->peerVersion() < Wire::kVersion) {
        if (hasDoor())
            refuseOtherVersion(link);
        return;
    }
    if (hasDoor()) {
        joiner->nonce = RoomDoor::nonce();
        if (joiner->nonce.isEmpty()) {
            forgetJoiner(joiner)->abort(); // no randomness: the door stays shut
            return;
        }
        joiner->door = Joiner::Door::Asked;
    }
    link->send(Message::hello(joiner->nonce));
}

// The member's share: answered with ours and our confirmation, unless its
// source must wait, or all guesses together have had their share of time.
void RoomHost::knock(std::vector<Joiner>::iterator joiner, const Message &m)
{
    if (joiner->door != Joiner::Door::Asked) {
        forgetJoiner(joiner)->abort(); // protocol error
        return;
    }
    const StallRule::Duration now = sinceStart();
    if (m_guesses.tryAt(joiner->from, now) > StallRule::Duration(0)) {
        qCDebug(lcHost) << "too many wrong passphrases from" << joiner->from;
        refuse(joiner, Wire::RefuseReason::TryLater);
        return;
    }
    auto exchange = std::make_unique<Cpace::Exchange>(
            Cpace::Exchange::Role::Responder, m_door.bytes(), RoomDoor::channel(m_fingerprint),
            RoomDoor::session(joiner->nonce, m.nonce), RoomDoor::kMemberData, RoomDoor::kHostData);
    if (!exchange->receive(m.share)) {
        m_guesses.failed(joiner->from, now);
        forgetJoiner(joiner)->abort(); // protocol error
        return;
    }
    FramedLink *link = joiner->link;
    link->send(Message::answer(exchange->share(), exchange->confirmation()));
    joiner->exchange = std::move(exchange);
    joiner->door = Joiner::Door::Answered;
    stepped(link);
}

void RoomHost::confirm(std::vector<Joiner>::iterator joiner, const Message &m)
{
    if (joiner->door != Joiner::Door::Answered) {
        forgetJoiner(joiner)->abort(); // protocol error
        return;
    }
    if (!joiner->exchange->confirms(m.tag)) {
        m_guesses.failed(joiner->from, sinceStart());
        refuse(joiner, Wire::RefuseReason::PassphraseWrong);
        return;
    }
    m_guesses.succeeded(joiner->from);
    joiner->exchange.reset();
    joiner->door = Joiner::Door::Passed;
    stepped(joiner->link);
}

void RoomHost::handleJoinerMessage(FramedLink *link, const Message &m)
{
    const auto joiner = findJoiner(link);
    if (joiner == m_joiners.end())
        return;
    const bool shut = hasDoor() && joiner->door != Joiner::Door::Passed;
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Knock:
        knock(joiner, m);
        return;
    case MessageType::Confirm:
        confirm(joiner, m);
        return;
    case MessageType::Set:
    case MessageType::Join:
        if (shut) {
            // Nothing of the member is kept, and nothing of the room said.
            refuse(joiner, Wire::RefuseReason::PassphraseNeeded);
            return;
        }
        break;
    default:
        break;
    }
    switch (m.type) {
    case MessageType::Set: {
        const qsizetype at = joiner->values.find(m.key);
        const QString value = entering(m.key, m.value);
        if (m.key == MemberKeys::Presence || !joiner->values.fits(at, m.key, value)) {
            qCDebug(lcHost) << "refusing a joiner's value for" << m.key.left(40);
            return;
        }
        joiner->values.set(at, m.key, value);
        return;
    }
    case MessageType::Join:
        link->setPeerDeadPeer(std::chrono::milliseconds(m.deadPeerMs));
        admit(link);
        return;
    default:
        forgetJoiner(joiner)->abort(); // protocol error
        return;
    }
}

void RoomHost::handleMemberMessage(int slot, const Message &m)
{
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Set:
        if (m.key != MemberKeys::Name || takeRename(slot, m.value))
            update(slot, m.key, m.value);
        return;
    default:
        qCDebug(lcHost) << "slot" << slot << "sent type" << int(m.type);
        m_links[size_t(slot)]->abort(); // protocol error
        depart(slot);
        return;
    }
}

void RoomHost::admit(FramedLink *link)
{
    const auto it = findJoiner(link);
    const MemberValues::Values values = it->values.all();
    forgetJoiner(it);

    const int slot = m_table.freeSlot(1);
    if (slot < 0) {
        link->send(Message::refuse(Wire::RefuseReason::RoomFull));
        link->close();
        return;
    }
    disconnect(link, &FramedLink::messageReceived, this, nullptr);
    disconnect(link, &FramedLink::ended, this, nullptr);
    connect(link, &FramedLink::messageReceived, this,
            [this, slot](const Message &m) { handleMemberMessage(slot, m); });
    connect(link, &FramedLink::ended, this, [this, link, slot] {
        if (m_links[size_t(slot)] == link)
            depart(slot);
    });
    link->setOpen();
    m_renames[size_t(slot)] = {};
    link->setReadingEnabled(reads(slot));

    m_flushSoon.request();
    link->send(Message::welcome(slot, size(), Wire::deadPeerField(m_timeouts.deadPeer)));
    for (int p = 0; p < size(); ++p) {
        if (!m_table.isPresent(p))
            continue;
        for (const auto &[key, value] : m_table.values(p))
            link->send(Message::store(p, key, value));
        link->send(Message::store(p, MemberKeys::Presence, MemberKeys::Present));
    }
    m_links[size_t(slot)] = link;

    for (const auto &[key, given] : values) {
        const QString value = entering(key, given);
        m_table.setValue(slot, key, value);
        broadcast(Message::store(slot, key, value));
        emit roomEvent({RoomEvent::Kind::Store, slot, key, value});
    }
    m_table.occupy(slot);
    broadcast(Message::arrive(slot));
    emit roomEvent({RoomEvent::Kind::Arrive, slot, {}, {}});
}

void RoomHost::depart(int slot)
{
    if (slot <= 0 || !m_table.isPresent(slot))
        return;
    m_links[size_t(slot)] = nullptr;
    m_renames[size_t(slot)] = {};
    broadcast(Message::depart(slot));
    m_table.vacate(slot);
    updateBackpressure(); // the rule forgets the slot at once
    // Last: a handler may close the room, or delete it and us with it.
    emit roomEvent({RoomEvent::Kind::Depart, slot, {}, {}});
}

bool RoomHost::takeRename(int slot, const QString &name)
{
    Renames &renames = m_renames[size_t(slot)];
    if (m_table.value(slot, MemberKeys::Name) == entering(MemberKeys::Name, name))
        return true; // no change: nothing goes out
    const StallRule::Duration now = sinceStart();
    if (now >= renames.paidUntil - (kRenameBurst - 1) * kRenameEvery) {
        renames.paidUntil = std::max(renames.paidUntil, now) + kRenameEvery;
        return true;
    }
    renames.held = name;
    m_links[size_t(slot)]->setReadingEnabled(false);
    armRenameCheck();
    return false;
}

void RoomHost::releaseRenames()
{
    const QPointer<RoomHost> self(this);
    for (int slot = 0; slot < size(); ++slot) {
        std::optional<QString> &held = m_renames[size_t(slot)].held;
        if (!held || !takeRename(slot, *held))
            continue;
        const QString name = *std::exchange(held, std::nullopt);
        update(slot, MemberKeys::Name, name);
        // A handler may have closed the room, or deleted it and us with it.
        if (!self)
            return;
        if (m_links[size_t(slot)])
            m_links[size_t(slot)]->setReadingEnabled(reads(slot));
    }
    armRenameCheck();
}

void RoomHost::armRenameCheck()
{
    std::optional<StallRule::Duration> next;
    for (const Renames &renames : m_renames) {
        const StallRule::Duration due = renames.paidUntil - (kRenameBurst - 1) * kRenameEvery;
        if (renames.held && (!next || due < *next))
            next = due;
    }
    if (next)
        m_renameCheck.start(std::max(StallRule::Duration(0), *next - sinceStart()));
}

void RoomHost::update(int slot, const QString &key, const QString &given)
{
    if (key == MemberKeys::Presence)
        return; // presence belongs to the room
    const QString value = entering(key, given);
    MemberValues *values = m_table.slotValues(slot);
    if (!values)
        return;
    const qsizetype at = values->find(key);
    if (key != MemberKeys::Chat && values->valueAt(at) == value)
        return;
    if (!values->fits(at, key, value)) {
        qCDebug(lcHost) << "refusing slot" << slot << "a value over its limits";
        return;
    }
    // Stored before the event: a member admitted while a handler runs gets
    // the new value in its snapshot, having missed the broadcast.
    values->set(at, key, value);
    broadcast(Message::update(slot, key, value));
    emit roomEvent({RoomEvent::Kind::Update, slot, key, value});
}

void RoomHost::broadcast(const Message &message)
{
    const QByteArray frame = Wire::encode(message);
    m_flushSoon.request();
    bool behind = false;
    for (FramedLink *link : m_links) {
        if (!link)
            continue;
        link->send(frame);
        behind = behind || link->backlog() > StallRule::kBehind;
    }
    if (behind && !m_paused)
        updateBackpressure();
}

void RoomHost::flushLinks()
{
    for (FramedLink *link : m_links) {
        if (link)
            link->flush();
    }
}

std::vector<qint64> RoomHost::backlogs() const
{
    std::vector<qint64> backlogs(m_links.size(), -1);
    for (size_t slot = 0; slot < m_links.size(); ++slot) {
        if (m_links[slot])
            backlogs[slot] = m_links[slot]->backlog();
    }
    return backlogs;
}

void RoomHost::updateBackpressure()
{
    const std::vector<qint64> now = backlogs();
    const bool paused = StallRule::roomWaits(m_paused, now);
    m_stall.update(sinceStart(), paused, now);
    if (paused == m_paused)
        return;
    m_paused = paused;
    qCDebug(lcHost) << (paused ? "pausing" : "resuming") << "members' input";
    for (int slot = 0; slot < size(); ++slot) {
        if (m_links[size_t(slot)])
            m_links[size_t(slot)]->setReadingEnabled(reads(slot));
    }
}

void RoomHost::dropStalledMembers()
{
    m_stall.update(sinceStart(), m_paused, backlogs());
    const QPointer<RoomHost> self(this);
    for (const int slot : m_stall.takeGone()) {
        // A handler of the last departure may have closed the room or deleted it.
        if (!self || !m_server.isListening())
            return;
        if (!m_links[size_t(slot)])
            continue;
        qCDebug(lcHost) << "slot" << slot << "held the room up too long";
        m_links[size_t(slot)]->abort();
        depart(slot);
    }
    m_stallCheck.start(m_stall.nextCheck());
}

} // namespace TAVIXLibCtl
