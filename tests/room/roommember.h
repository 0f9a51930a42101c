#pragma once

// Rooms as the room tests see them: a member's component and every event it
// raised, with the name the component gave for that slot at that moment.

#include "room.h"

#include <QCoreApplication>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <memory>

namespace RoomTest {

using namespace TAVIXLibCtl;

inline const QString kName = QStringLiteral("name");
inline const QString kChat = QStringLiteral("chat");
inline const QString kCnt = QStringLiteral("cnt");

inline Timeouts fastTimeouts()
{
    Timeouts t;
    t.handshake = std::chrono::milliseconds(1500);
    t.deadPeer = std::chrono::milliseconds(1500);
    t.stall = std::chrono::milliseconds(1500);
    return t;
}

struct Member
{
    explicit Member(const QString &name, const Timeouts &timeouts = fastTimeouts())
    {
        room = std::make_unique<Room>();
        room->setTimeouts(timeouts);
        room->setData(kName, name);
        QObject::connect(room.get(), &Room::dataChanged, room.get(),
                         [this](int slot, const QString &key, const QString &value) {
                             events << QStringLiteral("%1 %2=%3 (%4)")
                                           .arg(slot)
                                           .arg(key, value, room->memberData(slot, kName));
                         });
        QObject::connect(room.get(), &Room::disconnected, room.get(), [this] { ++disconnects; });
    }
    QStringList eventsFrom(qsizetype from) const { return events.mid(from); }

    std::unique_ptr<Room> room;
    QStringList events;
    int disconnects = 0;
};

// `door`, when given, is the passphrase members need.
inline std::unique_ptr<Member> host(const QString &name, int size = 5,
                                    const Timeouts &timeouts = fastTimeouts(), const QString &door = {})
{
    auto m = std::make_unique<Member>(name, timeouts);
    m->room->setPort(0);
    m->room->setMaxMembers(size);
    m->room->setDoor(Passphrase::fromTyped(door));
    m->room->openServer();
    return m;
}

inline quint16 portOf(const Member &host)
{
    return host.room->boundPort();
}

// `announced`, when given, is the key the room was announced with;
// `passphrase` is offered at a door.
inline std::unique_ptr<Member> joiner(const QString &name, quint16 port,
                                      const QString &address = QStringLiteral("127.0.0.1"),
                                      const Timeouts &timeouts = fastTimeouts(), const QString &announced = {},
                                      const QString &passphrase = {})
{
    auto m = std::make_unique<Member>(name, timeouts);
    m->room->setServerAddress(address);
    m->room->setPort(port);
    m->room->expectHostKey(address, announced);
    m->room->offerPassphrase(Passphrase::fromTyped(passphrase));
    m->room->openClient();
    return m;
}

// Once the event loop has taken up what was queued for its next turn, as a
// room's own events are.
inline bool nextTurn()
{
    bool turned = false;
    // The timer goes with `context`: one that never fired cannot write here later.
    QObject context;
    QTimer::singleShot(0, &context, [&turned] { turned = true; });
    return QTest::qWaitFor([&turned] { return turned; }, 1000);
}

// Runs the event loop until `done`, checking after every event rather than
// in QTRY's steps of 50 ms: for waits that come one after another.
template <typename Done>
bool waitUntil(Done done, int timeoutMs = 5000)
{
    QTimer bound;
    bound.setSingleShot(true);
    bound.start(timeoutMs);
    while (!done()) {
        if (!bound.isActive())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

inline bool joined(const Member &m)
{
    return m.room->state() == Room::State::Joined;
}

// Keeps a member saying long lines, as fast as its link to the host takes them.
class Flood
{
public:
    explicit Flood(Room &room) : m_room(room)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            // Bounded per turn: a link whose host has gone queues nothing.
            for (int n = 0; n < 64 && m_room.pendingOutput() < 512 * 1024
                            && m_room.state() == Room::State::Joined;
                 ++n) {
                m_room.setData(kChat, m_line + QString::number(m_sent++));
            }
        });
        m_timer.start(1);
    }
    // The line said last, once the flood has stopped.
    QString stop()
    {
        m_timer.stop();
        return m_line + QString::number(m_sent - 1);
    }

private:
    Room &m_room;
    QTimer m_timer;
    const QString m_line = QString(30000, QChar(u'あ'));
    int m_sent = 0;
};

} // namespace RoomTest
