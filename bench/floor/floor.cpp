// tavix_floor: the least a relay has to do for the room's fan-out, in a
// process of its own, so that nothing of the bench shares its threads.
//
//   tavix_floor --members N [--threads T] [--identity FILE]
//   tavix_floor relay [--identity FILE]
//   tavix_floor client --port P [--identity FILE]
//
// relay and client are the same relay and one client each as processes of
// their own, driven as a script drives tavix-room: the relay says "listening
// on port P" on standard error and relays until its standard input ends; a
// client says "connected" there, sends each line of its standard input and
// prints each line relayed to it as "SLOT > LINE", a turn's lines in one
// write.
//
// With --identity (a PEM file with the room's key and certificate) every link
// is TLS 1.3, as in the room; without it, plain TCP. One epoll relay thread
// (TCP_NODELAY, one read per readable link per wake-up, one write per link
// per turn, the sender's slot added on the way out) and N clients on T epoll
// threads of their own. Each client thread keeps its own send and arrival
// times, merged after a phase; all the threads share is a count of arrivals
// per line, to know when the next line may go.
//
// Driven on standard input, one command a line, each answered by one line of
// key=value pairs on standard output (times in ns):
//
//   closed COUNT                   back to back: the next line once the last is everywhere
//   paced COUNT PACE_MS            one line every PACE_MS, round-robin
//   throughput SECONDS WINDOW      WINDOW own lines in flight per client, after 1 s of warm-up
//   throughput-lines LINES WINDOW  the same until LINES lines are through, no warm-up
//   quit
//
// It first prints "ready relay_tid=... cipher=..."; "error ..." ends it.
//
//     client -> relay   length:uint32be line
//     relay  -> client  length:uint32be slot:uint16be line

#include "chatline.h"
#include "latch.h"
#include "latency.h"
#include "procstats.h"
#include "stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxFrame = 64 * 1024;
constexpr int kMaxEvents = 256;
// Generous: a loaded two-core machine may stall a turn for a second or more.
constexpr auto kLineTimeout = 30s;
// Far more lines than are ever in flight, so a slot is never reused early.
constexpr std::size_t kRing = std::size_t(1) << 18;

void putBe32(char *out, std::uint32_t v)
{
    const std::uint32_t be = htonl(v);
    std::memcpy(out, &be, 4);
}

std::uint32_t getBe32(const char *in)
{
    std::uint32_t be;
    std::memcpy(&be, in, 4);
    return ntohl(be);
}

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void watch(int epoll, int op, int fd, std::uint32_t events, void *ptr)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = ptr;
    ::epoll_ctl(epoll, op, fd, &ev);
}

void wake(int eventFd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(eventFd, &one, sizeof one);
}

// Hands each event to `onEvent` until it returns false, and after each
// wake-up's events runs `endOfTurn`.
template <typename OnEvent, typename EndOfTurn>
void eventLoop(int epoll, OnEvent onEvent, EndOfTurn endOfTurn)
{
    epoll_event events[kMaxEvents];
    for (;;) {
        const int n = ::epoll_wait(epoll, events, kMaxEvents, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        for (int i = 0; i < n; ++i) {
            if (!onEvent(events[i].data.ptr, events[i].events))
                return;
        }
        endOfTurn();
    }
}

void compact(std::string &in, std::size_t &start)
{
    if (start == in.size()) {
        in.clear();
        start = 0;
    } else if (start > in.size() / 2) {
        in.erase(0, start);
        start = 0;
    }
}

// One end of a link, at the relay or at a client.
struct Link
{
    Stream stream;
    int member = 0;         // a client's index; the relay's slot is member + 1
    bool live = false;      // the relay's end: past the TLS handshake
    bool watchingOut = false;
    bool dirty = false;
    std::string in;
    std::size_t inStart = 0;
    std::string out;
};

struct Stamp
{
    std::uint64_t id;
    std::int64_t ns;
};

// Send line `id` from `member`, or with id 0, refill its window.
struct Task
{
    int member;
    std::uint64_t id;
};

struct ClientThread
{
    int epoll = -1;
    int wake = -1; // eventfd: tasks are waiting
    std::mutex mutex;
    std::vector<Task> tasks; // from other threads
    std::vector<Task> later; // from this thread, run at the end of the turn
    std::vector<Link *> links;
    std::vector<Stamp> sent; // this phase, this thread alone
    std::vector<Stamp> arrived;
    std::thread thread;
};

struct LineSlot
{
    std::atomic<int> arrivals{0};
    std::atomic<int> sender{0};
};

struct Sender
{
    std::atomic<int> inFlight{0};
    std::atomic<bool> refillPosted{false};
};

// What one command asked for, and how far it got.
struct Phase
{
    enum class Kind { Closed, Paced, Throughput };
    Kind kind = Kind::Closed;
    std::uint64_t base = 0;
    int count = 0;       // lines, or for throughput the lines to stop at (0: by time)
    int window = 0;
    std::atomic<int> completed{0};
    std::atomic<bool> running{true};
    std::atomic<int> inFlight{0};
    Latch finished;
    Latch drained;
};

struct Rates
{
    std::int64_t lines = 0;
    double seconds = 0;
    std::int64_t relayCpuNs = 0;
    std::int64_t processCpuNs = 0;
};

class Floor
{
public:
    ~Floor() { stop(); }

    bool start(int members, int threads, const std::string &identity, std::string *error);
    // The relay alone, on this thread, until standard input ends; false
    // when it cannot listen.
    bool relayAlone(const std::string &identity, std::string *error);
    void stop();
    bool closed(int count, LatencyFigures *figures, std::string *error);
    bool paced(int count, int paceMs, LatencyFigures *figures, std::string *error);
    bool throughput(double seconds, int lines, int window, Rates *rates, std::string *error);

    pid_t relayThread() const { return m_relayTid.load(); }
    std::string cipher() const { return m_cipher; }
    int broken() const { return m_broken.load(); }

private:
    int listen(const std::string &identity, std::string *error);
    void runRelay();
    void relayAccept();
    void relayHandshake(Link &link);
    void relayRead(Link &link);
    void runClient(ClientThread &thread);
    void clientRead(ClientThread &thread, Link &link);
    void flush(int epoll, Link &link);
    void closeLink(int epoll, Link &link);

    void run(ClientThread &thread, const Task &task);
    void post(ClientThread *from, const Task &task);
    void sendLine(ClientThread &thread, int member, std::uint64_t id);
    void refill(ClientThread &thread, int member);
    void scheduleRefill(ClientThread *from, int member);
    void arrived(ClientThread &thread, std::uint64_t id);
    void completed(ClientThread &thread, int sender);

    Phase &begin(Phase::Kind kind, int count, int window);
    bool waitFor(Phase &phase, Latch &latch, const char *what, std::string *error);
    LatencyFigures merge(const Phase &phase);
    std::int64_t relayCpuNs() const;

    std::unique_ptr<TlsContexts> m_tls;
    std::string m_cipher = "none";
    int m_members = 0;

    int m_listen = -1;
    int m_relayEpoll = -1;
    int m_relayStop = -1;
    std::thread m_relay;
    pthread_t m_relayHandle{};
    std::atomic<pid_t> m_relayTid{0};
    std::vector<std::unique_ptr<Link>> m_relayLinks;
    std::atomic<int> m_live{0};

    std::vector<std::unique_ptr<ClientThread>> m_threads;
    std::vector<std::unique_ptr<Link>> m_clientLinks; // by member
    std::vector<LineSlot> m_lines = std::vector<LineSlot>(kRing);
    std::vector<Sender> m_senders;
    std::atomic<std::uint64_t> m_nextId{1};
    std::vector<std::unique_ptr<Phase>> m_phases; // kept: a late arrival may still look
    std::atomic<Phase *> m_phase{nullptr};
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_broken{0};
};

// The listening socket and the relay's loop; the port, or 0.
int Floor::listen(const std::string &identity, std::string *error)
{
    if (!identity.empty()) {
        m_tls = std::make_unique<TlsContexts>();
        if (!m_tls->load(identity, error))
            return 0;
    }
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(m_listen, 256) != 0
        || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        *error = std::string("relay cannot listen: ") + std::strerror(errno);
        return 0;
    }
    m_relayEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_relayStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_listen, EPOLLIN, nullptr);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_relayStop, EPOLLIN, &m_relayStop);
    return ntohs(addr.sin_port);
}

bool Floor::relayAlone(const std::string &identity, std::string *error)
{
    const int port = listen(identity, error);
    if (port == 0)
        return false;
    // Standard input ending, or saying anything, stops it.
    watch(m_relayEpoll, EPOLL_CTL_ADD, STDIN_FILENO, EPOLLIN, &m_relayStop);
    std::fprintf(stderr, "tavix_floor: listening on port %d\n", port);
    runRelay();
    m_stopping = true;
    return true;
}

bool Floor::start(int members, int threads, const std::string &identity, std::string *error)
{
    m_members = members;
    m_senders = std::vector<Sender>(size_t(members));
    const int port = listen(identity, error);
    if (port == 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(port));
    m_relay = std::thread([this] {
        pthread_setname_np(pthread_self(), "floor-relay");
        m_relayTid = ::gettid();
        runRelay();
    });
    m_relayHandle = m_relay.native_handle();

    for (int t = 0; t < threads; ++t) {
        auto thread = std::make_unique<ClientThread>();
        thread->epoll = ::epoll_create1(EPOLL_CLOEXEC);
        thread->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        watch(thread->epoll, EPOLL_CTL_ADD, thread->wake, EPOLLIN, thread.get());
        m_threads.push_back(std::move(thread));
    }
    // Each client connects and finishes TLS blocking, then turns non-blocking.
    for (int m = 0; m < members; ++m) {
        auto link = std::make_unique<Link>();
        link->member = m;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            *error = std::string("client cannot connect: ") + std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        setNoDelay(fd);
        SSL *ssl = nullptr;
        if (m_tls) {
            ssl = SSL_new(m_tls->client());
            if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1) {
                *error = "client TLS handshake failed";
                SSL_free(ssl);
                ::close(fd);
                return false;
            }
            m_cipher = SSL_get_cipher_name(ssl);
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        link->stream.attach(fd, ssl);
        ClientThread &thread = *m_threads[size_t(m % threads)];
        watch(thread.epoll, EPOLL_CTL_ADD, fd, EPOLLIN, link.get());
        thread.links.push_back(link.get());
        m_clientLinks.push_back(std::move(link));
    }
    const auto deadline = Clock::now() + 20s;
    while (m_live.load() < members) {
        if (Clock::now() > deadline) {
            *error = "relay took only " + std::to_string(m_live.load()) + " of " + std::to_string(members)
                     + " links";
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    for (auto &thread : m_threads) {
        ClientThread *raw = thread.get();
        thread->thread = std::thread([this, raw] {
            pthread_setname_np(pthread_self(), "floor-clients");
            runClient(*raw);
        });
    }
    return true;
}

void Floor::runRelay()
{
    eventLoop(
        m_relayEpoll,
        [this](void *ptr, std::uint32_t events) {
            if (ptr == &m_relayStop)
                return false;
            if (!ptr) {
                relayAccept();
                return true;
            }
            Link &link = *static_cast<Link *>(ptr);
            if (!link.stream.isOpen())
                return true;
            if (!link.live) {
                relayHandshake(link);
                return true;
            }
            if (events & EPOLLOUT)
                flush(m_relayEpoll, link);
            if (link.stream.isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                relayRead(link);
            return true;
        },
        [this] {
            // One write per link per turn, however many frames it collected.
            for (auto &link : m_relayLinks) {
                if (link->dirty && link->stream.isOpen()) {
                    link->dirty = false;
                    flush(m_relayEpoll, *link);
                }
            }
        });
}

void Floor::relayAccept()
{
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        setNoDelay(fd);
        auto link = std::make_unique<Link>();
        link->member = int(m_relayLinks.size());
        SSL *ssl = nullptr;
        if (m_tls) {
            ssl = SSL_new(m_tls->server());
            SSL_set_fd(ssl, fd);
            SSL_set_accept_state(ssl);
        }
        link->stream.attach(fd, ssl);
        link->live = !ssl;
        watch(m_relayEpoll, EPOLL_CTL_ADD, fd, EPOLLIN, link.get());
        if (link->live)
            ++m_live;
        m_relayLinks.push_back(std::move(link));
    }
}

void Floor::relayHandshake(Link &link)
{
    bool wantWrite = false;
    const int result = link.stream.handshake(&wantWrite);
    if (result < 0) {
        closeLink(m_relayEpoll, link);
        return;
    }
    if (result == 0) {
        if (wantWrite != link.watchingOut) {
            link.watchingOut = wantWrite;
            watch(m_relayEpoll, EPOLL_CTL_MOD, link.stream.fd(), EPOLLIN | (wantWrite ? unsigned(EPOLLOUT) : 0u),
                  &link);
        }
        return;
    }
    link.live = true;
    ++m_live;
    if (link.watchingOut) {
        link.watchingOut = false;
        watch(m_relayEpoll, EPOLL_CTL_MOD, link.stream.fd(), EPOLLIN, &link);
    }
    // Read ahead may have taken in more than the handshake.
    if (SSL_has_pending(link.stream.ssl()))
        relayRead(link);
}

void Floor::relayRead(Link &link)
{
    if (!link.stream.read(link.in)) {
        closeLink(m_relayEpoll, link);
        return;
    }
    char header[6];
    while (link.in.size() - link.inStart >= 4) {
        const char *at = link.in.data() + link.inStart;
        const std::uint32_t length = getBe32(at);
        if (length == 0 || length > kMaxFrame) {
            closeLink(m_relayEpoll, link);
            return;
        }
        if (link.in.size() - link.inStart < 4 + length)
            break;
        const auto slot = std::uint16_t(link.member + 1);
        putBe32(header, length + 2);
        header[4] = char(slot >> 8);
        header[5] = char(slot & 0xff);
        for (auto &to : m_relayLinks) {
            if (!to->live || !to->stream.isOpen())
                continue;
            to->out.append(header, sizeof header);
            to->out.append(at + 4, length);
            to->dirty = true;
        }
        link.inStart += 4 + length;
    }
    compact(link.in, link.inStart);
}

void Floor::flush(int epoll, Link &link)
{
    bool blocked = false;
    if (!link.stream.write(link.out, &blocked)) {
        closeLink(epoll, link);
        return;
    }
    if (blocked != link.watchingOut) {
        link.watchingOut = blocked;
        watch(epoll, EPOLL_CTL_MOD, link.stream.fd(), EPOLLIN | (blocked ? unsigned(EPOLLOUT) : 0u), &link);
    }
}

void Floor::closeLink(int epoll, Link &link)
{
    if (!link.stream.isOpen())
        return;
    if (!m_stopping)
        ++m_broken;
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, link.stream.fd(), nullptr);
    link.stream.close();
    link.out.clear();
}

void Floor::runClient(ClientThread &thread)
{
    std::vector<Task> tasks;
    auto runAll = [&] {
        for (const Task &task : tasks)
            run(thread, task);
        tasks.clear();
    };
    eventLoop(
        thread.epoll,
        [&](void *ptr, std::uint32_t events) {
            if (ptr == &thread) {
                std::uint64_t count;
                [[maybe_unused]] auto r = ::read(thread.wake, &count, sizeof count);
                if (m_stopping)
                    return false;
                {
                    std::lock_guard lock(thread.mutex);
                    tasks.swap(thread.tasks);
                }
                runAll();
                return true;
            }
            Link &link = *static_cast<Link *>(ptr);
            if (!link.stream.isOpen())
                return true;
            if (events & EPOLLOUT)
                flush(thread.epoll, link);
            if (link.stream.isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                clientRead(thread, link);
            return true;
        },
        [&] {
            tasks.swap(thread.later);
            runAll();
            // What the turn sent leaves in one write per link.
            for (Link *link : thread.links) {
                if (link->dirty && link->stream.isOpen()) {
                    link->dirty = false;
                    flush(thread.epoll, *link);
                }
            }
        });
}

void Floor::clientRead(ClientThread &thread, Link &link)
{
    if (!link.stream.read(link.in)) {
        closeLink(thread.epoll, link);
        return;
    }
    while (link.in.size() - link.inStart >= 4) {
        const char *at = link.in.data() + link.inStart;
        const std::uint32_t length = getBe32(at);
        if (length < 2 || length > kMaxFrame + 2) {
            closeLink(thread.epoll, link);
            return;
        }
        if (link.in.size() - link.inStart < 4 + length)
            break;
        arrived(thread, readLineId(at + 6, length - 2));
        link.inStart += 4 + length;
    }
    compact(link.in, link.inStart);
}

void Floor::run(ClientThread &thread, const Task &task)
{
    if (task.id != 0)
        sendLine(thread, task.member, task.id);
    else
        refill(thread, task.member);
}

void Floor::post(ClientThread *from, const Task &task)
{
    ClientThread &to = *m_threads[size_t(task.member) % m_threads.size()];
    if (&to == from) {
        from->later.push_back(task);
        return;
    }
    bool idle;
    {
        std::lock_guard lock(to.mutex);
        idle = to.tasks.empty();
        to.tasks.push_back(task);
    }
    if (idle)
        wake(to.wake);
}

void Floor::sendLine(ClientThread &thread, int member, std::uint64_t id)
{
    Link &link = *m_clientLinks[size_t(member)];
    if (!link.stream.isOpen())
        return;
    LineSlot &slot = m_lines[id & (kRing - 1)];
    slot.sender.store(member, std::memory_order_relaxed);
    slot.arrivals.store(0, std::memory_order_release);
    char frame[4 + kLineLength];
    putBe32(frame, kLineLength);
    writeLine(frame + 4, id);
    const Phase *phase = m_phase.load(std::memory_order_acquire);
    if (phase && phase->kind != Phase::Kind::Throughput)
        thread.sent.push_back({id, nowNs()});
    // Written at the end of the turn, with whatever else the turn sends.
    link.out.append(frame, sizeof frame);
    link.dirty = true;
}

void Floor::refill(ClientThread &thread, int member)
{
    Phase &phase = *m_phase.load(std::memory_order_acquire);
    Sender &sender = m_senders[size_t(member)];
    sender.refillPosted.store(false);
    while (phase.running.load(std::memory_order_relaxed) && sender.inFlight.load() < phase.window) {
        ++sender.inFlight;
        ++phase.inFlight;
        sendLine(thread, member, m_nextId.fetch_add(1, std::memory_order_relaxed));
    }
}

void Floor::scheduleRefill(ClientThread *from, int member)
{
    if (!m_senders[size_t(member)].refillPosted.exchange(true))
        post(from, {member, 0});
}

void Floor::arrived(ClientThread &thread, std::uint64_t id)
{
    Phase *phase = m_phase.load(std::memory_order_acquire);
    if (!phase || id == 0)
        return;
    if (phase->kind != Phase::Kind::Throughput)
        thread.arrived.push_back({id, nowNs()});
    LineSlot &slot = m_lines[id & (kRing - 1)];
    // Every client, the sender's own echo included; the relay had it first.
    if (slot.arrivals.fetch_add(1, std::memory_order_acq_rel) + 1 == m_members)
        completed(thread, slot.sender.load(std::memory_order_relaxed));
}

void Floor::completed(ClientThread &thread, int sender)
{
    Phase &phase = *m_phase.load(std::memory_order_acquire);
    const int done = ++phase.completed;
    switch (phase.kind) {
    case Phase::Kind::Closed:
        if (done < phase.count)
            post(&thread, {done % m_members, phase.base + std::uint64_t(done)});
        else
            phase.finished.raise();
        return;
    case Phase::Kind::Paced:
        if (done == phase.count)
            phase.finished.raise();
        return;
    case Phase::Kind::Throughput: {
        --m_senders[size_t(sender)].inFlight;
        const int left = --phase.inFlight;
        if (done == phase.count)
            phase.finished.raise();
        if (phase.running.load())
            scheduleRefill(&thread, sender);
        else if (left == 0)
            phase.drained.raise();
        return;
    }
    }
}

Phase &Floor::begin(Phase::Kind kind, int count, int window)
{
    // The client threads are idle between phases: their logs are ours to clear.
    for (auto &thread : m_threads) {
        thread->sent.clear();
        thread->arrived.clear();
        thread->sent.reserve(kind == Phase::Kind::Throughput ? 0 : size_t(count));
        thread->arrived.reserve(kind == Phase::Kind::Throughput ? 0 : size_t(count) * size_t(m_members));
    }
    auto phase = std::make_unique<Phase>();
    phase->kind = kind;
    phase->count = count;
    phase->window = window;
    // Throughput takes its ids one at a time as lines go.
    if (kind != Phase::Kind::Throughput)
        phase->base = m_nextId.fetch_add(std::uint64_t(count));
    m_phases.push_back(std::move(phase));
    m_phase.store(m_phases.back().get(), std::memory_order_release);
    return *m_phases.back();
}

// Bounded by the lines still to come, so that a slow run is not cut short.
bool Floor::waitFor(Phase &phase, Latch &latch, const char *what, std::string *error)
{
    auto deadline = Clock::now() + kLineTimeout;
    int seen = phase.completed.load();
    while (!latch.waitUntil(std::min(deadline, Clock::now() + 1s))) {
        const int done = phase.completed.load();
        if (done != seen) {
            seen = done;
            deadline = Clock::now() + kLineTimeout;
        } else if (Clock::now() >= deadline) {
            *error = std::string(what) + ": stuck at line " + std::to_string(done) + ", "
                     + std::to_string(m_broken.load()) + " links broken";
            return false;
        }
    }
    return true;
}

// From each thread's own log: the send, and the last of the arrivals.
LatencyFigures Floor::merge(const Phase &phase)
{
    const auto count = size_t(phase.count);
    std::vector<std::int64_t> start(count, 0), last(count, 0);
    auto index = [&](std::uint64_t id) { return size_t(id - phase.base); };
    for (auto &thread : m_threads) {
        for (const Stamp &s : thread->sent) {
            if (index(s.id) < count)
                start[index(s.id)] = s.ns;
        }
        for (const Stamp &a : thread->arrived) {
            if (index(a.id) < count)
                last[index(a.id)] = std::max(last[index(a.id)], a.ns);
        }
    }
    std::vector<std::int64_t> samples(count);
    for (size_t k = 0; k < count; ++k)
        samples[k] = last[k] - start[k];
    return summarise(std::move(samples));
}

bool Floor::closed(int count, LatencyFigures *figures, std::string *error)
{
    Phase &phase = begin(Phase::Kind::Closed, count, 0);
    post(nullptr, {0, phase.base});
    if (!waitFor(phase, phase.finished, "closed", error))
        return false;
    *figures = merge(phase);
    return true;
}

bool Floor::paced(int count, int paceMs, LatencyFigures *figures, std::string *error)
{
    Phase &phase = begin(Phase::Kind::Paced, count, 0);
    const auto start = Clock::now();
    for (int k = 0; k < count; ++k) {
        std::this_thread::sleep_until(start + k * std::chrono::milliseconds(paceMs));
        post(nullptr, {k % m_members, phase.base + std::uint64_t(k)});
    }
    if (!waitFor(phase, phase.finished, "paced", error))
        return false;
    *figures = merge(phase);
    return true;
}

bool Floor::throughput(double seconds, int lines, int window, Rates *rates, std::string *error)
{
    Phase &phase = begin(Phase::Kind::Throughput, lines, window);
    std::int64_t lines0 = 0, relay0 = 0, process0 = 0;
    Clock::time_point t0;
    auto sample = [&](std::int64_t *done, std::int64_t *relay, std::int64_t *process) {
        *done = phase.completed.load();
        *relay = relayCpuNs();
        *process = processCpuNs();
        return Clock::now();
    };
    if (lines > 0)
        t0 = sample(&lines0, &relay0, &process0);
    for (int m = 0; m < m_members; ++m)
        scheduleRefill(nullptr, m);
    if (lines > 0) {
        if (!waitFor(phase, phase.finished, "throughput", error)) {
            phase.running = false;
            return false;
        }
    } else {
        std::this_thread::sleep_for(1s); // warm-up
        t0 = sample(&lines0, &relay0, &process0);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    std::int64_t lines1 = 0, relay1 = 0, process1 = 0;
    const Clock::time_point t1 = sample(&lines1, &relay1, &process1);
    phase.running = false;
    if (phase.inFlight.load() > 0 && !waitFor(phase, phase.drained, "throughput drain", error))
        return false;
    rates->lines = lines1 - lines0;
    rates->seconds = std::chrono::duration<double>(t1 - t0).count();
    rates->relayCpuNs = relay1 - relay0;
    rates->processCpuNs = process1 - process0;
    return true;
}

std::int64_t Floor::relayCpuNs() const
{
    return m_relay.joinable() ? threadCpuNs(m_relayHandle) : 0;
}

void Floor::stop()
{
    m_stopping = true;
    for (auto &thread : m_threads) {
        wake(thread->wake);
        if (thread->thread.joinable())
            thread->thread.join();
    }
    if (m_relay.joinable()) {
        wake(m_relayStop);
        m_relay.join();
    }
    m_clientLinks.clear();
    m_relayLinks.clear();
    for (auto &thread : m_threads) {
        ::close(thread->epoll);
        ::close(thread->wake);
    }
    m_threads.clear();
    for (int fd : {m_listen, m_relayEpoll, m_relayStop}) {
        if (fd >= 0)
            ::close(fd);
    }
    m_listen = m_relayEpoll = m_relayStop = -1;
}

std::string latencyAnswer(const char *what, const LatencyFigures &f)
{
    char text[200];
    std::snprintf(text, sizeof text, "%s count=%zu p50_ns=%lld p99_ns=%lld max_ns=%lld", what, f.count,
                  (long long)f.p50, (long long)f.p99, (long long)f.max);
    return text;
}

std::string ratesAnswer(const Rates &r)
{
    char text[200];
    std::snprintf(text, sizeof text, "throughput lines=%lld seconds=%.6f relay_cpu_ns=%lld process_cpu_ns=%lld",
                  (long long)r.lines, r.seconds, (long long)r.relayCpuNs, (long long)r.processCpuNs);
    return text;
}

// One command; false, with the reason, when the floor cannot go on.
bool answer(Floor &floor, const std::string &command, std::string *reply, std::string *error)
{
    const char *text = command.c_str();
    long count = 0, number = 0;
    double seconds = 0;
    LatencyFigures latency;
    Rates rates;
    if (std::sscanf(text, "closed %ld", &count) == 1) {
        if (!floor.closed(int(count), &latency, error))
            return false;
        *reply = latencyAnswer("closed", latency);
    } else if (std::sscanf(text, "paced %ld %ld", &count, &number) == 2) {
        if (!floor.paced(int(count), int(number), &latency, error))
            return false;
        *reply = latencyAnswer("paced", latency);
    } else if (std::sscanf(text, "throughput-lines %ld %ld", &count, &number) == 2) {
        if (!floor.throughput(0, int(count), int(number), &rates, error))
            return false;
        *reply = ratesAnswer(rates);
    } else if (std::sscanf(text, "throughput %lf %ld", &seconds, &number) == 2) {
        if (!floor.throughput(seconds, 0, int(number), &rates, error))
            return false;
        *reply = ratesAnswer(rates);
    } else {
        *error = "unknown command: " + command;
        return false;
    }
    *reply += " broken=" + std::to_string(floor.broken());
    return true;
}

// Writes all of `text` to a blocking descriptor.
void writeAll(int fd, std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    text.clear();
}

// One client as a process of its own (see the top of this file).
int runClient(int port, const std::string &identity)
{
    std::string error;
    TlsContexts tls;
    if (!identity.empty() && !tls.load(identity, &error)) {
        std::fprintf(stderr, "tavix_floor: %s\n", error.c_str());
        return 1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(port));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "tavix_floor: cannot connect: %s\n", std::strerror(errno));
        return 1;
    }
    setNoDelay(fd);
    SSL *ssl = nullptr;
    if (!identity.empty()) {
        ssl = SSL_new(tls.client());
        if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1) {
            std::fprintf(stderr, "tavix_floor: TLS handshake failed\n");
            return 1;
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    Link link;
    link.stream.attach(fd, ssl);
    std::fprintf(stderr, "tavix_floor: connected\n");

    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    int input = STDIN_FILENO;
    watch(epoll, EPOLL_CTL_ADD, STDIN_FILENO, EPOLLIN, &input);
    watch(epoll, EPOLL_CTL_ADD, fd, EPOLLIN, &link);
    std::string typed; // standard input not yet a whole line
    std::string printed;
    bool open = true;
    auto send = [&] {
        bool blocked = false;
        if (!link.stream.write(link.out, &blocked)) {
            open = false;
            return;
        }
        if (blocked != link.watchingOut) {
            link.watchingOut = blocked;
            watch(epoll, EPOLL_CTL_MOD, fd, EPOLLIN | (blocked ? unsigned(EPOLLOUT) : 0u), &link);
        }
    };
    eventLoop(
        epoll,
        [&](void *ptr, std::uint32_t events) {
            if (ptr == &input) {
                char buffer[64 * 1024];
                const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    return open = false;
                typed.append(buffer, std::size_t(std::max<ssize_t>(n, 0)));
                std::size_t start = 0;
                for (std::size_t nl; (nl = typed.find('\n', start)) != std::string::npos; start = nl + 1) {
                    char header[4];
                    putBe32(header, std::uint32_t(nl - start));
                    link.out.append(header, 4);
                    link.out.append(typed, start, nl - start);
                    link.dirty = true;
                }
                typed.erase(0, start);
                return true;
            }
            if (events & EPOLLOUT)
                send();
            if (!link.stream.read(link.in))
                return open = false;
            while (link.in.size() - link.inStart >= 6) {
                const char *at = link.in.data() + link.inStart;
                const std::uint32_t length = getBe32(at);
                if (link.in.size() - link.inStart < 4 + length)
                    break;
                const int slot = (std::uint8_t(at[4]) << 8) | std::uint8_t(at[5]);
                printed += std::to_string(slot) + " > ";
                printed.append(at + 6, length - 2);
                printed += '\n';
                link.inStart += 4 + length;
            }
            compact(link.in, link.inStart);
            return true;
        },
        [&] {
            writeAll(STDOUT_FILENO, printed);
            if (link.dirty) {
                link.dirty = false;
                send();
            }
        });
    writeAll(STDOUT_FILENO, printed);
    ::close(epoll);
    return 0;
}

} // namespace

} // namespace bench

int main(int argc, char **argv)
{
    // A peer that went away must fail a write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int members = 4;
    int threads = 4;
    int port = 0;
    std::string identity;
    const std::string mode = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
    for (int i = mode.empty() ? 1 : 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--members")
            members = std::atoi(argv[i + 1]);
        else if (option == "--threads")
            threads = std::atoi(argv[i + 1]);
        else if (option == "--identity")
            identity = argv[i + 1];
        else if (option == "--port")
            port = std::atoi(argv[i + 1]);
    }
    if (mode == "client")
        return bench::runClient(port, identity);
    if (mode == "relay") {
        bench::Floor relay;
        std::string error;
        if (relay.relayAlone(identity, &error))
            return 0;
        std::fprintf(stderr, "tavix_floor: %s\n", error.c_str());
        return 1;
    }
    if (members < 1 || threads < 1) {
        std::printf("error usage: tavix_floor --members N [--threads T] [--identity FILE]\n");
        return 1;
    }
    bench::Floor floor;
    std::string error;
    if (!floor.start(members, std::min(threads, members), identity, &error)) {
        std::printf("error %s\n", error.c_str());
        return 1;
    }
    std::printf("ready relay_tid=%d cipher=%s\n", int(floor.relayThread()), floor.cipher().c_str());
    char line[256];
    while (std::fgets(line, sizeof line, stdin)) {
        std::string command(line);
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        if (command.empty())
            continue;
        if (command == "quit")
            break;
        std::string reply;
        if (!bench::answer(floor, command, &reply, &error)) {
            std::printf("error %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", reply.c_str());
    }
    floor.stop();
    std::printf("bye broken=%d\n", floor.broken());
    return 0;
}
