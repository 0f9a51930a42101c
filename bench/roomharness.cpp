#include "roomharness.h"

#include "memberkeys.h"
#include "room.h"

#include <QString>

#include <chrono>

using namespace std::chrono_literals;
using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

namespace bench {

namespace {
// The host keeps at most 32 connections waiting for their handshake; join in
// smaller waves so that none of ours is dropped as a flood.
constexpr int kJoinWave = 16;
constexpr auto kJoinTimeout = 20s;
} // namespace

RoomHarness::RoomHarness() = default;

RoomHarness::~RoomHarness()
{
    stop();
}

void RoomHarness::attach(Room *room)
{
    Tracker *tracker = m_tracker;
    QObject::connect(room, &Room::dataChanged, room,
                     [this, room, tracker](int slot, const QString &key, const QString &value) {
                         if (key == MemberKeys::Chat) {
                             tracker->received(readLineId(value.utf16(), size_t(value.size())));
                             return;
                         }
                         if (key == MemberKeys::Presence && value == MemberKeys::Present
                             && slot == room->ownSlot()) {
                             std::lock_guard lock(m_mutex);
                             ++m_joined;
                             m_changed.notify_all();
                         }
                     });
    QObject::connect(room, &Room::disconnected, room, [this] { ++m_lost; });
}

bool RoomHarness::waitJoined(int count, std::string *error)
{
    std::unique_lock lock(m_mutex);
    if (m_changed.wait_for(lock, kJoinTimeout, [&] { return m_joined >= count || m_lost > 0; })
        && m_lost == 0)
        return true;
    *error = "room did not form: " + std::to_string(m_joined) + " of " + std::to_string(count)
             + " members joined, " + std::to_string(m_lost.load()) + " sessions ended";
    return false;
}

bool RoomHarness::start(int members, int threads, Tracker *tracker, std::string *error)
{
    m_tracker = tracker;
    m_hostLoop = std::make_unique<LoopThread>("room-host");
    for (int t = 0; t < threads; ++t)
        m_memberLoops.push_back(std::make_unique<LoopThread>("room-members"));
    m_members.assign(size_t(members), nullptr);

    quint16 port = 0;
    m_hostLoop->run([&] {
        m_host = new Room;
        m_host->setPort(0);
        m_host->setMaxMembers(members + 1);
        m_host->setData(MemberKeys::Name, QStringLiteral("host"));
        attach(m_host);
        m_host->openServer();
        port = m_host->boundPort();
    });
    if (port == 0) {
        *error = "host could not listen";
        return false;
    }
    if (!waitJoined(1, error))
        return false;

    for (int first = 0; first < members; first += kJoinWave) {
        const int last = std::min(members, first + kJoinWave);
        for (int m = first; m < last; ++m) {
            m_memberLoops[size_t(m % threads)]->run([&, m] {
                auto *room = new Room;
                room->setServerAddress(QStringLiteral("127.0.0.1"));
                room->setPort(port);
                room->setData(MemberKeys::Name, QStringLiteral("member%1").arg(m + 1));
                attach(room);
                room->openClient();
                m_members[size_t(m)] = room;
            });
        }
        if (!waitJoined(1 + last, error))
            return false;
    }
    return true;
}

void RoomHarness::post(int member, std::function<void()> task)
{
    m_memberLoops[size_t(member) % m_memberLoops.size()]->post(std::move(task));
}

void RoomHarness::send(int member, std::uint64_t id)
{
    QString line(kLineLength, Qt::Uninitialized);
    writeLine(reinterpret_cast<char16_t *>(line.data()), id);
    m_tracker->sent(id, member);
    m_members[size_t(member)]->setData(MemberKeys::Chat, line);
}

std::int64_t RoomHarness::hostCpuNs() const
{
    return m_hostLoop ? m_hostLoop->cpuNs() : 0;
}

pid_t RoomHarness::hostThread() const
{
    return m_hostLoop ? m_hostLoop->tid() : 0;
}

std::string RoomHarness::trouble() const
{
    const int lost = m_lost.load();
    return lost ? std::to_string(lost) + " sessions ended during the run" : std::string();
}

void RoomHarness::stop()
{
    if (!m_hostLoop)
        return;
    // Members leave first, so the host is not busy announcing departures.
    for (size_t m = 0; m < m_members.size(); ++m) {
        if (Room *room = m_members[m]) {
            m_memberLoops[m % m_memberLoops.size()]->run([room] {
                room->disconnect();
                delete room;
            });
        }
    }
    m_members.clear();
    m_hostLoop->run([this] {
        m_host->disconnect();
        delete m_host;
        m_host = nullptr;
    });
    m_memberLoops.clear();
    m_hostLoop.reset();
}

} // namespace bench
