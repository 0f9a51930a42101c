#include "gorvel.h"

#include "hostaddresses.h"
#include "passphrase.h"
#include "room.h"
#include "roombrowser.h"
#include "roomtext.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionFrame>

#include <stdexcept>

namespace TAVIXLibCtl {

namespace {

struct Status
{
    QString headline;
    QString detail;
};

Status describe(const Gorvel &control, const Room &room)
{
    switch (room.state()) {
    case Room::State::Hosting:
        return {QStringLiteral("サーバ ポート %1").arg(control.Port()),
                QStringLiteral("参加者 %1/%2人").arg(room.memberCount()).arg(room.maxMembers())
                        + (room.hasDoor() ? QStringLiteral(" 合言葉あり") : QString())};
    case Room::State::Connecting:
        return {QStringLiteral("接続中"), control.ServerAddress()};
    case Room::State::Joined:
        return {QStringLiteral("参加中"),
                QStringLiteral("参加者 %1/%2人").arg(room.memberCount()).arg(room.maxMembers())};
    case Room::State::Idle:
        break;
    }
    if (room.endReason() == EndReason::None)
        return {QStringLiteral("未接続"), {}};
    return {QStringLiteral("未接続"), RoomText::reason(room.endReason())};
}

// What the others type to join this machine's room.
QString addressLine()
{
    const QStringList addresses = addressesToGive();
    return QStringLiteral("参加用アドレス: %1")
            .arg(addresses.isEmpty() ? QStringLiteral("なし") : addresses.join(QStringLiteral(", ")));
}

// The status lines first, then what else a member may need: why a room
// could not open, the addresses to give the others, and the host's key,
// which people compare aloud.
QString describeInFull(const Gorvel &control, const Room &room, const QString &hint)
{
    const Status s = describe(control, room);
    QStringList lines{s.headline};
    if (!s.detail.isEmpty())
        lines << s.detail;
    if (room.state() == Room::State::Idle && !room.endDetail().isEmpty())
        lines << room.endDetail();
    if (room.state() == Room::State::Hosting)
        lines << addressLine();
    if (room.state() == Room::State::Idle && room.endReason() == EndReason::KeyNotAsAnnounced)
        lines << RoomText::announcedKey(room.announcedKey());
    if (!room.hostFingerprint().isEmpty())
        lines << RoomText::hostKey(room.hostFingerprint());
    if (!room.keyNotKept().isEmpty())
        lines << RoomText::keyNotKept(room.keyNotKept());
    if (room.state() == Room::State::Idle && !hint.isEmpty())
        lines << hint;
    return lines.join(u'\n');
}

// Screen readers find a status display by its role (a status bar on AT-SPI);
// its text is the description, kept current below.
QAccessibleInterface *accessibleGorvel(const QString &className, QObject *object)
{
    if (className == QLatin1StringView("TAVIXLibCtl::Gorvel") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    return nullptr;
}

} // namespace

Gorvel::Gorvel(QWidget *parent)
    : QWidget(parent), m_room(new Room(this)), m_browser(new RoomBrowser(this))
{
    // A status display: the keyboard never stops here.
    setFocusPolicy(Qt::NoFocus);
    static const bool accessibleStatus = (QAccessible::installFactory(accessibleGorvel), true);
    Q_UNUSED(accessibleStatus);
    setAccessibleName(QStringLiteral("ルームの状態"));
    connect(m_room, &Room::dataChanged, this,
            [this](int slot, const QString &key, const QString &value) {
                emit DataChanged(qint16(slot), 0, key, value);
            });
    connect(m_room, &Room::disconnected, this, [this] {
        // Whoever started the program from a terminal learns which file was at fault.
        if (!m_room->endDetail().isEmpty())
            qWarning("tavix: %ls", qUtf16Printable(m_room->endDetail()));
        QPointer<Gorvel> self(this);
        emit Disconnected();
        if (!self || m_room->state() != Room::State::Idle)
            return;
        if (m_room->endReason() == EndReason::HostKeyChanged) {
            emit HostKeyChanged(m_room->joinAddress(), m_room->joinPort(), m_room->rememberedFingerprint(),
                                m_room->hostFingerprint());
        } else if (m_room->endReason() == EndReason::KeyNotAsAnnounced) {
            emit HostKeyNotAsAnnounced(m_room->joinAddress(), m_room->joinPort(), m_room->announcedKey(),
                                       m_room->hostFingerprint());
        } else if (m_room->endReason() == EndReason::PassphraseNeeded
                   || m_room->endReason() == EndReason::PassphraseWrong
                   || m_room->endReason() == EndReason::PassphraseTryLater) {
            emit PassphraseRequired(m_room->joinAddress(), m_room->joinPort(),
                                    RoomText::reason(m_room->endReason()));
        }
    });
    m_room->setAnnounced(qEnvironmentVariableIsEmpty("TAVIX_NO_ANNOUNCE"));
    connect(m_room, &Room::notAnnounced, this, [](const QString &why) {
        qWarning("tavix: the room is not announced on the network: %ls", qUtf16Printable(why));
    });
    connect(m_room, &Room::stateChanged, this, &Gorvel::followRoom);
    followRoom();
}

// Rooms are looked for while in none; the status shows the room's state.
void Gorvel::followRoom()
{
    if (m_room->state() == Room::State::Idle)
        m_browser->start();
    else
        m_browser->stop();
    showStatus();
}

void Gorvel::showStatus()
{
    const QString text = describeInFull(*this, *m_room, m_hint);
    setToolTip(text);
    setAccessibleDescription(text);
    update();
}

Gorvel::~Gorvel() = default;

QString Gorvel::ServerAddress() const { return m_room->serverAddress(); }
void Gorvel::setServerAddress(const QString &address) { m_room->setServerAddress(address); }

int Gorvel::Port() const
{
    return m_room->state() == Room::State::Hosting && m_room->boundPort() != 0 ? m_room->boundPort()
                                                                                : m_room->port();
}

void Gorvel::setPort(int port)
{
    if (!m_room->setPort(port))
        throw std::invalid_argument("Port must be from 1 to 65535 (0 hosts on any free port)");
}

qint16 Gorvel::MaxMembers() const { return qint16(m_room->maxMembers()); }

void Gorvel::setMaxMembers(qint16 size)
{
    if (!m_room->setMaxMembers(size))
        throw std::invalid_argument("MaxMembers must be from 1 to 256");
}

void Gorvel::OpenServer() { m_room->openServer(); }

void Gorvel::OpenClient()
{
    if (!m_room->openClient())
        throw std::invalid_argument("Port must be from 1 to 65535 to join a room");
}

void Gorvel::CloseConnection() { m_room->closeConnection(); }

void Gorvel::TrustHostKey(const QByteArray &fingerprint) { m_room->trustHostKey(fingerprint); }

void Gorvel::ExpectHostKey(const QString &serverAddress, const QString &keyPrefix)
{
    m_room->expectHostKey(serverAddress, keyPrefix);
}

void Gorvel::SetDoor(const QString &passphrase) { m_room->setDoor(Passphrase::fromTyped(passphrase)); }

void Gorvel::OfferPassphrase(const QString &passphrase)
{
    m_room->offerPassphrase(Passphrase::fromTyped(passphrase));
}

void Gorvel::SetStatusHint(const QString &hint)
{
    m_hint = hint;
    showStatus();
}

QString Gorvel::GetMemberData(qint16 index, const QString &key) const
{
    return m_room->memberData(index, key);
}

void Gorvel::SetData(const QString &key, const QString &value)
{
    switch (m_room->setData(key, value)) {
    case Room::SetResult::Stored:
        return;
    case Room::SetResult::TooLong:
        throw std::invalid_argument("a key or value is longer than 32767 characters");
    case Room::SetResult::OverLimits:
        throw std::invalid_argument("a member holds at most 32 keys and 196,608 characters");
    }
}
QString Gorvel::GetData(const QString &key) const { return m_room->data(key); }
qint16 Gorvel::OwnSlot() const { return qint16(m_room->ownSlot()); }

QSize Gorvel::sizeHint() const
{
    return {161, 33}; // 2415 x 495 twips
}

void Gorvel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.frameShape = QFrame::StyledPanel;
    frame.state |= QStyle::State_Sunken;
    frame.lineWidth = 1;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);

    const Status s = describe(*this, *m_room);
    const QRect area = rect().adjusted(4, 1, -4, -1);
    const QFontMetrics metrics(font());
    const int lineHeight = qMax(1, area.height() / 2);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(area.left(), area.top(), area.width(), lineHeight),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(s.headline, Qt::ElideRight, area.width()));
    painter.drawText(QRect(area.left(), area.top() + lineHeight, area.width(), lineHeight),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(s.detail, Qt::ElideRight, area.width()));
}

} // namespace TAVIXLibCtl
