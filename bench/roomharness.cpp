#include "roomharness.h"

#include "memberkeys.h"
#include "room.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>

#include <chrono>
#include <fstream>
#include <sstream>

#include <unistd.h>

using namespace std::chrono_literals;
using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

namespace bench {

namespace {
// The host keeps at most 32 connections waiting for their handshake; join in
// smaller waves so that none of ours is dropped as a flood.
constexpr int kJoinWave = 16;
constexpr auto kJoinTimeout = 20s;

// CPU time of one thread of any process, from the scheduler's own count.
std::int64_t taskCpuNs(qint64 pid, qint64 tid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    std::int64_t ns = 0;
    in >> ns;
    return ns;
}

// All threads of a process.
std::int64_t processCpuNsOf(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // utime and stime are fields 14 and 15, after the name in parentheses.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    std::int64_t ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14)
            ticks += std::stoll(field);
    }
    return ticks * (1'000'000'000 / sysconf(_SC_CLK_TCK));
}

// The number after "port " in what a host said.
quint16 portIn(const QByteArray &said)
{
    static const QRegularExpression re(QStringLiteral("port (\\d+)"));
    return quint16(re.match(QString::fromUtf8(said)).captured(1).toUInt());
}

void stopProcess(QProcess *process)
{
    process->closeWriteChannel(); // a member leaves, the floor's relay stops
    if (!process->waitForFinished(3000)) {
        process->terminate(); // a host closes its room
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    delete process;
}
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

bool RoomHarness::start(const ProcessRoom &room, int members, int threads, Tracker *tracker, std::string *error)
{
    m_tracker = tracker;
    m_hostLoop = std::make_unique<LoopThread>("room-host");
    for (int t = 0; t < threads; ++t)
        m_memberLoops.push_back(std::make_unique<LoopThread>("room-members"));
    m_processes.assign(size_t(members) + 1, nullptr);

    // Each process lives on a loop thread; it reads the process's output.
    auto launch = [this, &room](int index, const QStringList &arguments, const QByteArray &ready, bool reports) {
        auto *process = new QProcess;
        m_processes[size_t(index)] = process;
        auto *pending = new QByteArray; // output not yet a whole line
        QObject::connect(process, &QObject::destroyed, [pending] { delete pending; });
        QObject::connect(process, &QProcess::readyReadStandardOutput, process, [this, process, pending, reports] {
            *pending += process->readAllStandardOutput();
            qsizetype start = 0;
            for (qsizetype nl; (nl = pending->indexOf('\n', start)) >= 0; start = nl + 1) {
                const qsizetype text = pending->indexOf("> ", start);
                if (reports && text >= 0 && text < nl)
                    m_tracker->received(readLineId(pending->constData() + text + 2, size_t(nl - text - 2)));
            }
            pending->remove(0, start);
        });
        auto *said = new QByteArray;
        QObject::connect(process, &QObject::destroyed, [said] { delete said; });
        QObject::connect(process, &QProcess::readyReadStandardError, process, [this, process, said, ready] {
            const bool before = said->contains(ready);
            *said += process->readAllStandardError();
            if (!before && said->contains(ready)) {
                std::lock_guard lock(m_mutex);
                m_joinedPort = m_joinedPort ? m_joinedPort : portIn(*said);
                ++m_joined;
                m_changed.notify_all();
            }
        });
        QObject::connect(process, &QProcess::finished, process, [this] {
            if (!m_stopping)
                ++m_lost;
            m_changed.notify_all();
        });
        process->start(room.program, arguments);
    };
    m_hostLoop->run([&] { launch(0, room.host, "port ", false); });
    if (!waitJoined(1, error))
        return false;
    const QString port = QString::number(m_joinedPort);
    for (int m = 0; m < members; ++m) {
        QStringList arguments = room.member;
        arguments.replaceInStrings(QStringLiteral("PORT"), port);
        arguments.replaceInStrings(QStringLiteral("NAME"), QStringLiteral("member%1").arg(m + 1));
        m_memberLoops[size_t(m % threads)]->run([&, m] { launch(m + 1, arguments, room.joined, true); });
        // One at a time, in slot order.
        if (!waitJoined(2 + m, error))
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
    if (!m_processes.empty()) {
        char line[kLineLength + 1];
        writeLine(line, id);
        line[kLineLength] = '\n';
        m_tracker->sent(id, member);
        m_processes[size_t(member) + 1]->write(line, sizeof line);
        return;
    }
    QString line(kLineLength, Qt::Uninitialized);
    writeLine(reinterpret_cast<char16_t *>(line.data()), id);
    m_tracker->sent(id, member);
    m_members[size_t(member)]->setData(MemberKeys::Chat, line);
}

std::int64_t RoomHarness::hostCpuNs() const
{
    if (!m_processes.empty())
        return taskCpuNs(m_processes[0]->processId(), m_processes[0]->processId());
    return m_hostLoop ? m_hostLoop->cpuNs() : 0;
}

std::int64_t RoomHarness::roomCpuNs() const
{
    if (m_processes.empty())
        return processCpuNs();
    std::int64_t ns = 0;
    for (const QProcess *process : m_processes)
        ns += processCpuNsOf(process->processId());
    return ns;
}

pid_t RoomHarness::hostThread() const
{
    if (!m_processes.empty())
        return pid_t(m_processes[0]->processId());
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
    if (!m_processes.empty()) {
        m_stopping = true;
        for (size_t m = 1; m < m_processes.size(); ++m) {
            if (QProcess *process = m_processes[m])
                m_memberLoops[(m - 1) % m_memberLoops.size()]->run([process] { stopProcess(process); });
        }
        if (QProcess *host = m_processes[0])
            m_hostLoop->run([host] { stopProcess(host); });
        m_processes.clear();
        m_memberLoops.clear();
        m_hostLoop.reset();
        return;
    }
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
