#pragma once

#include "harness.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace TAVIXLibCtl {
class Room;
}

namespace bench {

// The room under test: real Room objects over loopback, the host on one Qt
// event-loop thread and the members on others, several Rooms per thread.
class RoomHarness : public Harness
{
public:
    RoomHarness();
    ~RoomHarness() override;

    const char *name() const override { return "room"; }
    bool start(int members, int threads, Tracker *tracker, std::string *error) override;
    void post(int member, std::function<void()> task) override;
    void send(int member, std::uint64_t id) override;
    std::int64_t hostCpuNs() const override;
    std::string trouble() const override;
    void stop() override;

private:
    struct Loop
    {
        QThread thread;
        QObject *context = nullptr; // lives on `thread`
        pthread_t handle{};
    };

    std::unique_ptr<Loop> startLoop(const char *name);
    void stopLoop(Loop &loop);
    void runOn(Loop &loop, const std::function<void()> &task);
    void attach(TAVIXLibCtl::Room *room);
    bool waitJoined(int count, std::string *error);

    Tracker *m_tracker = nullptr;
    std::unique_ptr<Loop> m_hostLoop;
    std::vector<std::unique_ptr<Loop>> m_memberLoops;
    TAVIXLibCtl::Room *m_host = nullptr;
    std::vector<TAVIXLibCtl::Room *> m_members;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_joined = 0;
    std::atomic<int> m_lost{0};
};

} // namespace bench
