#pragma once

#include "chatline.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace bench {

// Every line carries its id in its text. The sender stamps it here just before
// handing it over, each receiver reports it on arrival, and the receiver that
// completes the fan-out learns how long it took from the send to the last
// arrival. Safe to call from any thread.
class Tracker
{
public:
    // Told of each line that reached every receiver, on that receiver's thread.
    class Sink
    {
    public:
        virtual ~Sink() = default;
        virtual void completed(std::uint64_t id, int sender, std::int64_t latencyNs) = 0;
    };

    // Far more than the lines ever in flight (32 per member, at most a few
    // hundred members), so a slot is never reused while its line travels.
    static constexpr std::size_t kRing = std::size_t(1) << 18;

    explicit Tracker(int receivers) : m_receivers(receivers), m_ring(kRing) {}

    int receivers() const { return m_receivers; }
    // The sink must outlive the traffic it is told of.
    void setSink(Sink *sink) { m_sink.store(sink, std::memory_order_release); }
    // The first of `count` fresh ids.
    std::uint64_t takeIds(std::uint64_t count = 1)
    {
        return m_nextId.fetch_add(count, std::memory_order_relaxed);
    }

    void sent(std::uint64_t id, int sender)
    {
        Record &r = m_ring[id & (kRing - 1)];
        r.sender = sender;
        r.count.store(0, std::memory_order_relaxed);
        r.last.store(0, std::memory_order_relaxed);
        r.t0.store(nowNs(), std::memory_order_release);
    }

    void received(std::uint64_t id)
    {
        const std::int64_t t = nowNs();
        Record &r = m_ring[id & (kRing - 1)];
        std::int64_t seen = r.last.load(std::memory_order_relaxed);
        while (seen < t && !r.last.compare_exchange_weak(seen, t, std::memory_order_acq_rel)) {
        }
        if (r.count.fetch_add(1, std::memory_order_acq_rel) + 1 != m_receivers)
            return;
        const std::int64_t latency = r.last.load(std::memory_order_acquire)
                                     - r.t0.load(std::memory_order_acquire);
        if (Sink *sink = m_sink.load(std::memory_order_acquire))
            sink->completed(id, r.sender, latency);
    }

private:
    struct Record
    {
        std::atomic<std::int64_t> t0{0};
        std::atomic<std::int64_t> last{0};
        std::atomic<int> count{0};
        int sender = 0;
    };

    const int m_receivers;
    std::vector<Record> m_ring;
    std::atomic<std::uint64_t> m_nextId{1};
    std::atomic<Sink *> m_sink{nullptr};
};

} // namespace bench
