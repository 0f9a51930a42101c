#pragma once

#include "harness.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The floor: the least a relay on plain sockets has to do for the same
// fan-out. One epoll thread relays length-prefixed frames (TCP_NODELAY,
// non-blocking, one write per link per turn) and plain-socket clients on
// epoll threads of their own send and receive the same 40-byte lines.
//
//     client -> relay   length:uint32be line
//     relay  -> client  length:uint32be slot:uint16be line
class FloorHarness : public Harness
{
public:
    FloorHarness();
    ~FloorHarness() override;

    const char *name() const override { return "floor"; }
    bool start(int members, int threads, Tracker *tracker, std::string *error) override;
    void post(int member, std::function<void()> task) override;
    void send(int member, std::uint64_t id) override;
    std::int64_t hostCpuNs() const override;
    std::string trouble() const override;
    void stop() override;

private:
    struct Link
    {
        int fd = -1;
        std::uint16_t slot = 0;
        std::string in;
        std::size_t inStart = 0;
        std::string out;
        bool watchingOut = false;
        bool dirty = false;
    };

    struct ClientLoop
    {
        int epoll = -1;
        int wake = -1; // eventfd: tasks are waiting
        std::mutex mutex;
        std::deque<std::function<void()>> tasks;
        std::vector<Link *> links;
        std::thread thread;
    };

    void runRelay();
    void runClient(ClientLoop &loop);
    void relayRead(Link &link);
    bool flush(int epoll, Link &link);
    void closeLink(int epoll, Link &link);
    void wake(int fd);

    Tracker *m_tracker = nullptr;
    int m_listen = -1;
    int m_relayEpoll = -1;
    int m_relayStop = -1;
    std::thread m_relay;
    std::vector<std::unique_ptr<Link>> m_relayLinks;
    std::atomic<int> m_accepted{0};

    std::vector<std::unique_ptr<ClientLoop>> m_clients;
    std::vector<std::unique_ptr<Link>> m_memberLinks; // by member
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_broken{0};
};

} // namespace bench
