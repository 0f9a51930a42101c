#pragma once

#include "drive.h"
#include "loopthread.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>
#include <optional>

namespace TAVIXLibCtl {
class Room;
}

namespace bench {

// A room of processes, driven through their pipes as a script drives them:
// each member's standard input takes its lines, and every line it prints with
// "> " before the text counts as an arrival.
struct ProcessRoom
{
    QString program;
    QStringList host;   // says "port N" on standard error once it listens
    QStringList member; // "PORT" and "NAME" are filled in
    QByteArray joined;  // what a member says on standard error once it is in
};

// The room under test: a host and `members` joined members. By default real
// Room objects over loopback in this process: the host on an event-loop
// thread of its own, so that it never shares a loop with the members it
// serves, the members on `threads` others, every one of them a receiver.
// With a ProcessRoom, the host and the members are processes, each one's
// pipes served on one of those threads; only the members' output is timed.
class RoomSubject : public Driver
{
public:
    RoomSubject() = default;
    explicit RoomSubject(const ProcessRoom &room) : m_room(room) {}
    ~RoomSubject() override { stop(); }

    bool start(int members, int threads) override;
    pid_t relayThread() const override;
    int lost() const override { return m_lost.load(); }
    void stop() override;
    // With a ProcessRoom: heap allocations so far, the host's first, then
    // each member's (bench/alloccount.cpp, loaded into each process).
    std::vector<std::uint64_t> allocations() const;

protected:
    void post(int member, std::uint64_t id) override;
    void say(int member, std::uint64_t id) override;
    std::int64_t hostCpuNs() const override;
    std::int64_t processCpuNs() const override;

private:
    bool startRooms(int members);
    bool startProcesses(int members);
    void attach(TAVIXLibCtl::Room *room, int log);
    void launch(int index, const QStringList &arguments, const QByteArray &ready);
    LoopThread &loopOf(int member) { return *m_memberLoops[std::size_t(member) % m_memberLoops.size()]; }
    bool waitJoined(int count);

    std::optional<ProcessRoom> m_room;
    QTemporaryDir m_counters; // one allocation counter a process
    std::unique_ptr<LoopThread> m_hostLoop;
    std::vector<std::unique_ptr<LoopThread>> m_memberLoops;
    TAVIXLibCtl::Room *m_host = nullptr;
    std::vector<TAVIXLibCtl::Room *> m_members;
    std::vector<QProcess *> m_processes; // the host first

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_joined = 0;
    quint16 m_port = 0; // the host process's, once it listens
    std::atomic<int> m_lost{0};
    std::atomic<bool> m_stopping{false};
};

// A floor: tavix_floor as a child process, plain or with the room's TLS (its
// key and certificate), driven one phase at a time (drive.h).
class FloorSubject : public Subject
{
public:
    // `identity` empty: plain TCP.
    explicit FloorSubject(const std::string &identity) : m_identity(identity) {}
    ~FloorSubject() override { stop(); }

    bool start(int members, int threads) override;
    bool closed(int count, LatencyFigures *figures) override;
    bool paced(int count, int paceMs, LatencyFigures *figures) override;
    bool throughput(double seconds, int lines, int window, Rates *rates) override;
    pid_t relayThread() const override { return m_relayTid; }
    int lost() const override { return m_broken; }
    void stop() override;
    const std::string &cipher() const { return m_cipher; }

private:
    // Sends `command` (none: only reads) and reads the line that answers it.
    bool ask(const std::string &command, int timeoutSeconds, std::string *answer);
    // Asks for a phase and reads its figures from the answer.
    template <typename Figures>
    bool phase(const std::string &command, int timeoutSeconds, Figures *figures);

    const std::string m_identity;
    QProcess m_process;
    pid_t m_relayTid = 0;
    std::string m_cipher;
    int m_broken = 0;
};

} // namespace bench
