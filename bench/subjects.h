#pragma once

#include "fanout.h"
#include "tracker.h"

#include <QProcess>

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

class RoomHarness;
struct ProcessRoom;

// What the fan-out measures, the room or a floor, one phase at a time.
class Subject
{
public:
    virtual ~Subject() = default;

    virtual const char *name() const = 0;
    // False, with the reason in error(), when it did not start.
    virtual bool start(int members, int threads) = 0;
    // Back to back: the next line once the last reached every receiver.
    virtual bool closed(int count, LatencyFigures *figures) = 0;
    // One line every paceMs, whatever the subject does.
    virtual bool paced(int count, int paceMs, LatencyFigures *figures) = 0;
    // options.window own lines in flight per member.
    virtual bool throughput(const FanoutOptions &options, ThroughputFigures *figures) = 0;
    // The thread that relays: the room's host, or the floor's relay.
    virtual pid_t relayThread() const = 0;
    // Lost links and the like since start, for the report.
    virtual std::string trouble() const = 0;
    virtual void stop() = 0;

    const std::string &error() const { return m_error; }

protected:
    std::string m_error;
};

// The room: a host Room on its own thread, members on others, in this
// process; or a room of processes, the host's output unread by the tracker.
class RoomSubject : public Subject
{
public:
    RoomSubject();
    RoomSubject(const ProcessRoom &room, const std::string &name);
    ~RoomSubject() override;

    const char *name() const override { return m_name.c_str(); }
    bool start(int members, int threads) override;
    bool closed(int count, LatencyFigures *figures) override;
    bool paced(int count, int paceMs, LatencyFigures *figures) override;
    bool throughput(const FanoutOptions &options, ThroughputFigures *figures) override;
    pid_t relayThread() const override;
    std::string trouble() const override;
    void stop() override;

private:
    void adopt(std::shared_ptr<Tracker::Sink> sink);

    int m_members = 0;
    std::unique_ptr<ProcessRoom> m_processes;
    std::string m_name = "room";
    std::unique_ptr<RoomHarness> m_harness;
    std::unique_ptr<Tracker> m_tracker;
    // Kept until the harness has stopped: a late arrival may still reach one.
    std::vector<std::shared_ptr<Tracker::Sink>> m_sinks;
};

// A floor: tavix_floor as a child process, plain or with the room's TLS
// (its key and certificate), driven one command at a time.
class FloorSubject : public Subject
{
public:
    // `identity` empty: plain TCP.
    explicit FloorSubject(const std::string &identity);
    ~FloorSubject() override;

    const char *name() const override { return m_tls ? "TLS floor" : "plain floor"; }
    bool start(int members, int threads) override;
    bool closed(int count, LatencyFigures *figures) override;
    bool paced(int count, int paceMs, LatencyFigures *figures) override;
    bool throughput(const FanoutOptions &options, ThroughputFigures *figures) override;
    pid_t relayThread() const override { return m_relayTid; }
    std::string trouble() const override;
    void stop() override;
    std::string cipher() const { return m_cipher; }

private:
    // One answer line of the floor, as key=value pairs; the first word is "reply".
    using Answer = std::vector<std::pair<std::string, std::string>>;
    bool ask(const std::string &command, Answer *answer, int timeoutSeconds);
    bool readAnswer(Answer *answer, int timeoutSeconds);

    const std::string m_identity;
    const bool m_tls;
    int m_receivers = 0;
    QProcess m_process;
    pid_t m_relayTid = 0;
    std::string m_cipher;
    int m_broken = 0;
};

} // namespace bench
