#include "roomconsole.h"

#include "hostaddresses.h"
#include "knownhosts.h"
#include "memberkeys.h"
#include "roomtext.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

using namespace TAVIXLibCtl;

namespace {
// Lines queued toward the host beyond this wait until the room takes them,
// so a fast pipe cannot grow our memory.
constexpr qint64 kMaxQueued = 1024 * 1024;
// One read of standard input: many lines, little memory.
constexpr size_t kInputChunk = 64 * 1024;

QString joinAtLine()
{
    const QStringList addresses = addressesToGive();
    if (addresses.isEmpty())
        return QStringLiteral("no network address: only this machine can join");
    return QStringLiteral("others can join at ") + addresses.join(QStringLiteral(", "));
}
} // namespace

RoomConsole::RoomConsole(Mode mode, Room *room, QObject *parent)
    : QObject(parent), m_mode(mode), m_room(room)
{
    connect(m_room, &Room::dataChanged, this,
            [this](int slot, const QString &key, const QString &value) {
                if (slot == m_room->ownSlot() && key == MemberKeys::Chat && m_unanswered > 0)
                    --m_unanswered;
                const auto nameOf = [&] { return m_room->memberData(slot, MemberKeys::Name); };
                // The line of every room, written without being built first.
                if (key == MemberKeys::Chat)
                    print(RoomText::saidPieces(nameOf(), value));
                else if (const auto line = RoomText::logLine(key, value, nameOf))
                    print(*line);
                if (m_leaveWhenSaid && m_unanswered == 0)
                    leave();
            });
    connect(m_room, &Room::disconnected, this, &RoomConsole::roomEnded);
    connect(m_room, &Room::outputWritten, this, &RoomConsole::resumeWhenDrained);
}

RoomConsole::~RoomConsole()
{
    flushOutput();
}

void RoomConsole::start()
{
    if (m_mode == Mode::Host) {
        print(RoomText::hosting());
        m_room->openServer();
        if (m_room->state() == Room::State::Hosting) {
            std::fprintf(stderr, "tavix-room: listening on port %u\n", unsigned(m_room->boundPort()));
            std::fprintf(stderr, "tavix-room: %s\n", qPrintable(joinAtLine()));
            std::fprintf(stderr, "tavix-room: this host's key: %s\n",
                         qPrintable(RoomText::fingerprint(m_room->hostFingerprint())));
        }
    } else {
        print(RoomText::connecting());
        m_room->openClient();
    }
    // A room that could not open says why from the event loop; until then,
    // end of input must not pass for a member leaving on purpose.
    if (m_room->state() == Room::State::Idle)
        return;
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
            if (m_room->state() != Room::State::Joined)
                return;
            std::fprintf(stderr, "tavix-room: the host's key: %s\n",
                         qPrintable(RoomText::fingerprint(m_room->hostFingerprint())));
            if (!m_room->keyNotKept().isEmpty()) {
                std::fprintf(stderr, "tavix-room: %s (the next join cannot check the host's key)\n",
                             qPrintable(RoomText::keyNotKept(m_room->keyNotKept())));
            }
            m_input->setEnabled(true);
        });
    }
}

void RoomConsole::readInput()
{
    if (m_room->pendingOutput() >= kMaxQueued) {
        // Read on once the room has sent enough of it: resumeWhenDrained().
        m_input->setEnabled(false);
        return;
    }
    char buffer[kInputChunk];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        m_input->setEnabled(false);
        if (!m_partial.isEmpty())
            sendLine(std::exchange(m_partial, {}));
        // End of input leaves a joined room once the host has relayed every
        // line read: leaving at once would end the link with lines still in
        // it. A host keeps its room until stopped.
        if (m_mode == Mode::Join) {
            m_leaveWhenSaid = true;
            if (m_unanswered == 0)
                leave();
        }
        return;
    }
    m_partial.append(buffer, n);
    qsizetype start = 0;
    for (qsizetype nl; (nl = m_partial.indexOf('\n', start)) >= 0; start = nl + 1)
        sendLine(QByteArrayView(m_partial).sliced(start, nl - start));
    m_partial.remove(0, start);
}

void RoomConsole::resumeWhenDrained()
{
    if (m_input && !m_input->isEnabled() && m_room->state() == Room::State::Joined
        && m_room->pendingOutput() < kMaxQueued) {
        m_input->setEnabled(true);
    }
}

void RoomConsole::sendLine(QByteArrayView line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return; // as the window: an empty line is not sent
    QString text = QString::fromUtf8(line);
    const Room::SetResult result = m_room->setData(MemberKeys::Chat, text);
    if (result == Room::SetResult::Stored)
        ++m_unanswered;
    if (result != Room::SetResult::TooLong)
        return;
    // A pasted line longer than a room carries is said as far as it goes.
    std::fprintf(stderr, "tavix-room: a line of %lld characters was cut to %lld\n",
                 qlonglong(text.size()), qlonglong(Wire::kMaxText));
    text.truncate(Wire::kMaxText);
    if (text.back().isHighSurrogate())
        text.chop(1);
    if (m_room->setData(MemberKeys::Chat, text) == Room::SetResult::Stored)
        ++m_unanswered;
}

void RoomConsole::roomEnded()
{
    print(RoomText::disconnected());
    // Out before the reason on standard error, and before the program ends.
    flushOutput();
    const EndReason reason = m_room->endReason();
    if (!m_leaving && reason != EndReason::Closed) {
        m_exitCode = 1;
        std::fprintf(stderr, "tavix-room: %s (%s)\n", qPrintable(RoomText::reason(reason)),
                     qPrintable(RoomText::reasonInEnglish(reason)));
        if (!m_room->endDetail().isEmpty())
            std::fprintf(stderr, "tavix-room: %s\n", qPrintable(m_room->endDetail()));
        if (reason == EndReason::HostKeyChanged) {
            std::fprintf(stderr,
                         "tavix-room: it now shows the key %s, not the kept %s; if the host made a "
                         "new one, 'tavix-room forget %s --port %u' accepts it (kept in %s)\n",
                         qPrintable(RoomText::fingerprint(m_room->hostFingerprint())),
                         qPrintable(RoomText::fingerprint(m_room->rememberedFingerprint())),
                         qPrintable(m_room->joinAddress()), unsigned(m_room->joinPort()),
                         qPrintable(KnownHosts::defaultPath()));
        } else if (reason == EndReason::KeyNotAsAnnounced) {
            std::fprintf(stderr, "tavix-room: the room announced the key %s, its host shows %s\n",
                         qPrintable(RoomText::keyPrefix(m_room->announcedKey())),
                         qPrintable(RoomText::fingerprint(m_room->hostFingerprint())));
        }
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

template <size_t N>
void RoomConsole::print(const std::array<QStringView, N> &pieces)
{
    qsizetype units = 0;
    for (const QStringView piece : pieces)
        units += piece.size();
    const qsizetype had = m_output.size();
    m_output.resize(had + m_utf8.requiredSpace(units) + 1);
    char *end = m_output.data() + had;
    for (const QStringView piece : pieces)
        end = m_utf8.appendToBuffer(end, piece);
    *end++ = '\n';
    m_output.resize(end - m_output.constData());
    m_flushSoon.request();
}

void RoomConsole::flushOutput()
{
    m_flushSoon.cancel();
    const char *next = m_output.constData();
    const char *const end = next + m_output.size();
    while (next < end) {
        const ssize_t n = ::write(STDOUT_FILENO, next, size_t(end - next));
        if (n > 0) {
            next += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&out, 1, -1); // a non-blocking pipe that is full
        } else if (n == 0 || errno != EINTR) {
            break; // nobody reads any more: the lines have nowhere to go
        }
    }
    m_output.resize(0); // keeps its capacity for the next turn
}
