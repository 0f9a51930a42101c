#pragma once

#include "loopthread.h"
#include "tracker.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QStringList>

class QProcess;

namespace TAVIXLibCtl {
class Room;
}

namespace bench {

// A room of processes instead, driven through their pipes as a script would
// drive them: each member's standard input takes its lines, and every line
// it prints with "> " before the text counts as an arrival.
struct ProcessRoom
{
    QString program;
    QStringList host;   // says "port N" on standard error once it listens
    QStringList member; // "PORT" and "NAME" are filled in
    QByteArray joined;  // what a member says on standard error once it is in
};

// The room under test: a host and `members` joined members, real Room
// objects over loopback. The host has an event-loop thread of its own, so
// that it never shares a loop with the members it serves; the members share
// `threads` others. Every receiver, the host included, reports each chat line
// to the tracker.
class RoomHarness
{
public:
    RoomHarness();
    ~RoomHarness();

    // False, with the reason, when the room did not form in time.
    bool start(int members, int threads, Tracker *tracker, std::string *error);
    // The same with processes; only the members report arrivals.
    bool start(const ProcessRoom &room, int members, int threads, Tracker *tracker, std::string *error);
    // Runs `task` on the thread that owns joined member `member` (0-based).
    void post(int member, std::function<void()> task);
    // On that member's thread: stamps line `id` with the tracker and sends it.
    void send(int member, std::uint64_t id);
    // CPU time the host's thread has used so far.
    std::int64_t hostCpuNs() const;
    // CPU time of the room's side: this process, or all of the room's processes.
    std::int64_t roomCpuNs() const;
    pid_t hostThread() const;
    // Lost links seen since start, for the report.
    std::string trouble() const;
    void stop();

private:
    void attach(TAVIXLibCtl::Room *room);
    bool waitJoined(int count, std::string *error);

    Tracker *m_tracker = nullptr;
    std::unique_ptr<LoopThread> m_hostLoop;
    std::vector<std::unique_ptr<LoopThread>> m_memberLoops;
    TAVIXLibCtl::Room *m_host = nullptr;
    std::vector<TAVIXLibCtl::Room *> m_members;
    std::vector<QProcess *> m_processes; // the host first

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_joined = 0;
    std::atomic<int> m_lost{0};
    std::atomic<bool> m_stopping{false};
    quint16 m_joinedPort = 0; // the host process's, once it listens
};

} // namespace bench
