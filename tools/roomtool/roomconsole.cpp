#include "roomconsole.h"

#include <QLoggingCategory>

#include <cerrno>
#include <unistd.h>

using namespace TAVIXLibCtl;

namespace {
// Lines queued toward the host beyond this wait until the room takes them,
// so a fast pipe cannot grow our memory.
constexpr qint64 kMaxQueued = 1024 * 1024;

const QString kName = QStringLiteral("name");

QString reasonInEnglish(EndReason reason)
{
    switch (reason) {
    case EndReason::None:
    case EndReason::Closed:
        return QStringLiteral("closed");
    case EndReason::PortInUse:
        return QStringLiteral("port in use");
    case EndReason::ListenFailed:
        return QStringLiteral("cannot listen");
    case EndReason::HostNotFound:
        return QStringLiteral("host not found");
    case EndReason::Refused:
        return QStringLiteral("connection refused");
    case EndReason::Unreachable:
        return QStringLiteral("host unreachable");
    case EndReason::NoAnswer:
        return QStringLiteral("no answer");
    case EndReason::RoomFull:
        return QStringLiteral("room full");
    case EndReason::OtherProtocol:
        return QStringLiteral("other protocol or version");
    case EndReason::HostLeft:
        return QStringLiteral("host left");
    case EndReason::ConnectionLost:
        return QStringLiteral("connection lost");
    }
    return {};
}
} // namespace

RoomConsole::RoomConsole(Mode mode, Room *room, QObject *parent)
    : QObject(parent), m_mode(mode), m_room(room)
{
    connect(m_room, &Room::dataChanged, this,
            [this](int index, int, const QString &key, const QString &value) {
                printEvent(index, key, value);
            });
    connect(m_room, &Room::disconnected, this, &RoomConsole::roomEnded);
    m_paceTimer.setInterval(5);
    connect(&m_paceTimer, &QTimer::timeout, this, [this] {
        if (m_room->pendingOutput() < kMaxQueued) {
            m_paceTimer.stop();
            readInput();
        }
    });
}

void RoomConsole::start()
{
    if (m_mode == Mode::Host) {
        print(QStringLiteral("サーバ起動中..."));
        m_room->openServer();
        if (m_room->state() == Room::State::Hosting)
            std::fprintf(stderr, "tavix-room: listening on port %u\n", unsigned(m_room->boundPort()));
    } else {
        print(QStringLiteral("接続中..."));
        m_room->openClient();
    }
    m_input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_input, &QSocketNotifier::activated, this, &RoomConsole::readInput);
    // A line said while still connecting would only be stored, never sent,
    // and end of input would leave before joining: a joiner leaves its input
    // unread until it is in the room.
    if (m_room->state() == Room::State::Connecting) {
        m_input->setEnabled(false);
        m_untilJoined = connect(m_room, &Room::stateChanged, this, [this] {
            if (m_room->state() == Room::State::Connecting)
                return;
            disconnect(m_untilJoined);
            if (m_room->state() == Room::State::Joined)
                m_input->setEnabled(true);
        });
    }
}

void RoomConsole::readInput()
{
    if (m_room->pendingOutput() >= kMaxQueued) {
        // Let the room drain before reading more.
        m_input->setEnabled(false);
        m_paceTimer.start();
        return;
    }
    m_input->setEnabled(true);
    char buffer[64 * 1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        m_input->setEnabled(false);
        if (!m_partial.isEmpty())
            sendLine(std::exchange(m_partial, {}));
        // End of input leaves a joined room; a host keeps its room until stopped.
        if (m_mode == Mode::Join)
            leave();
        return;
    }
    m_partial.append(buffer, n);
    qsizetype start = 0;
    for (qsizetype nl; (nl = m_partial.indexOf('\n', start)) >= 0; start = nl + 1)
        sendLine(m_partial.mid(start, nl - start));
    m_partial.remove(0, start);
}

void RoomConsole::sendLine(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return; // as the window: an empty line is not sent
    QString text = QString::fromUtf8(line);
    if (text.size() > Wire::kMaxText) {
        text.truncate(Wire::kMaxText);
        if (text.back().isHighSurrogate())
            text.chop(1);
    }
    m_room->setData(kChatKey, text);
}

void RoomConsole::printEvent(int index, const QString &key, const QString &value)
{
    const QString name = m_room->memberData(index, kName);
    if (key == kPresenceKey && value == kPresent)
        print(name + QStringLiteral("さん が　きました"));
    if (key == kPresenceKey && value == kAbsent)
        print(name + QStringLiteral("さん が　いなくなりました"));
    if (key == kChatKey)
        print(name + QStringLiteral(" > ") + value);
    if (key == kName)
        print(name + QStringLiteral(" さんは、「") + value + QStringLiteral("」さんに名前を変更しました"));
}

void RoomConsole::roomEnded()
{
    print(QStringLiteral("切断しました。"));
    const EndReason reason = m_room->endReason();
    if (!m_leaving && reason != EndReason::Closed) {
        m_exitCode = 1;
        std::fprintf(stderr, "tavix-room: %s (%s)\n", qPrintable(reasonText(reason)),
                     qPrintable(reasonInEnglish(reason)));
    }
    emit finished();
}

void RoomConsole::leave()
{
    if (m_leaving)
        return;
    m_leaving = true;
    m_room->closeConnection(); // nothing to do when the room already ended

}

void RoomConsole::print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}
