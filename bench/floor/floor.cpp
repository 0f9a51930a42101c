// tavix_floor: the least a relay has to do for the room's fan-out, in a
// process of its own, so that nothing of the bench shares its threads.
//
//   tavix_floor --members N [--threads T] [--identity FILE]
//   tavix_floor relay [--identity FILE]
//   tavix_floor client --port P [--identity FILE]
//
// With --identity (a PEM file with the room's key and certificate) every link
// is TLS 1.3, as in the room; without it, plain TCP. One epoll relay thread
// (one read per readable link per wake-up, one write per link per turn, the
// sender's slot added on the way out) and N clients on T epoll threads of
// their own, which write a turn's lines in one write. The bench drives it one
// phase at a time on standard input (drive.h); the relay always has a line
// before any client, so the last client's arrival is the last arrival.
//
// relay and client are the same relay and one client each as processes of
// their own, driven as a script drives tavix-room: the relay says "listening
// on port P" on standard error and relays until its standard input ends; a
// client says "connected" there, sends each line of its standard input and
// prints each line relayed to it as "SLOT > LINE", a turn's lines in one
// write.
//
//     client -> relay   length:uint32be line
//     relay  -> client  length:uint32be slot:uint16be line

#include "drive.h"
#include "stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kMaxFrame = 64 * 1024;
constexpr int kMaxEvents = 256;

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

// Hands each event to `onEvent` and after each wake-up's events runs
// `endOfTurn`, until one of them returns false.
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
        if (!endOfTurn())
            return;
    }
}

// One end of a link, at the relay or at a client.
struct Link
{
    Stream stream;
    int member = 0;    // a client's index; the relay's slot is member + 1
    bool live = false; // the relay's end: past the TLS handshake
    bool watchingOut = false;
    bool dirty = false;
    std::string in;
    std::size_t inStart = 0;
    std::string out;
};

// Watches for writing only while the kernel holds back what we wrote.
void watchOut(int epoll, Link &link, bool on)
{
    if (on != link.watchingOut) {
        link.watchingOut = on;
        watch(epoll, EPOLL_CTL_MOD, link.stream.fd(), EPOLLIN | (on ? unsigned(EPOLLOUT) : 0u), &link);
    }
}

// Sends what the link holds; false when the link failed.
bool writeOut(int epoll, Link &link)
{
    bool blocked = false;
    if (!link.stream.write(link.out, &blocked))
        return false;
    watchOut(epoll, link, blocked);
    return true;
}

// Hands each whole frame in link.in to `take(body, length)`; false at a
// length outside [least, most], which ends the link.
template <typename Take>
bool takeFrames(Link &link, std::uint32_t least, std::uint32_t most, Take take)
{
    while (link.in.size() - link.inStart >= 4) {
        const char *at = link.in.data() + link.inStart;
        const std::uint32_t length = getBe32(at);
        if (length < least || length > most)
            return false;
        if (link.in.size() - link.inStart < 4 + length)
            break;
        take(at + 4, length);
        link.inStart += 4 + length;
    }
    if (link.inStart == link.in.size()) {
        link.in.clear();
        link.inStart = 0;
    } else if (link.inStart > link.in.size() / 2) {
        link.in.erase(0, link.inStart);
        link.inStart = 0;
    }
    return true;
}

// Driver::run(member, id), to be done on a client thread.
struct Task
{
    int member;
    std::uint64_t id;
};

struct ClientThread
{
    int index = 0; // its log in the Driver
    int epoll = -1;
    int wake = -1; // eventfd: tasks are waiting
    std::mutex mutex;
    std::vector<Task> tasks; // from other threads
    std::vector<Task> later; // from this thread, run at the end of the turn
    std::vector<Link *> links;
    std::thread thread;
};

thread_local ClientThread *t_current = nullptr;

class Floor : public Driver
{
public:
    explicit Floor(const std::string &identity) : m_identity(identity) {}
    ~Floor() override { stop(); }

    bool start(int members, int threads) override;
    // The relay alone, on this thread, until standard input ends; false
    // when it cannot listen.
    bool relayAlone();
    pid_t relayThread() const override { return m_relayTid.load(); }
    int lost() const override { return m_broken.load(); }
    void stop() override;
    std::string cipher() const { return m_cipher; }

protected:
    void post(int member, std::uint64_t id) override;
    void say(int member, std::uint64_t id) override;
    std::int64_t hostCpuNs() const override { return m_relay.joinable() ? threadCpuNs(m_relayHandle) : 0; }
    std::int64_t processCpuNs() const override { return bench::processCpuNs(); }

private:
    bool listen();
    void runRelay();
    void relayAccept();
    void relayHandshake(Link &link);
    void relayRead(Link &link);
    void runClients(ClientThread &thread);
    void clientRead(ClientThread &thread, Link &link);
    void flush(int epoll, Link &link);
    // A link's event: what waits to go, then what came.
    template <typename Read>
    void onLink(int epoll, Link &link, std::uint32_t events, Read read);
    template <typename Links>
    bool flushDirty(int epoll, const Links &links);
    void closeLink(int epoll, Link &link);

    const std::string m_identity;
    TlsContexts m_tls; // loaded only with an identity
    std::string m_cipher = "none";

    int m_port = 0;
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
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_broken{0};
};

// The listening socket and the relay's loop.
bool Floor::listen()
{
    if (!m_identity.empty() && !m_tls.load(m_identity, &error))
        return false;
    m_listen = listenOnLoopback(&m_port, &error);
    if (m_listen < 0)
        return false;
    m_relayEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_relayStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_listen, EPOLLIN, nullptr);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_relayStop, EPOLLIN, &m_relayStop);
    return true;
}

bool Floor::relayAlone()
{
    if (!listen())
        return false;
    // Standard input ending, or saying anything, stops it.
    watch(m_relayEpoll, EPOLL_CTL_ADD, STDIN_FILENO, EPOLLIN, &m_relayStop);
    std::fprintf(stderr, "tavix_floor: listening on port %d\n", m_port);
    runRelay();
    m_stopping = true;
    return true;
}

bool Floor::start(int members, int threads)
{
    // Only the clients receive: the relay always has a line first.
    prepare(members, threads, members);
    if (!listen())
        return false;
    m_relay = std::thread([this] {
        pthread_setname_np(pthread_self(), "floor-relay");
        m_relayTid = ::gettid();
        runRelay();
    });
    m_relayHandle = m_relay.native_handle();

    for (int t = 0; t < threads; ++t) {
        auto thread = std::make_unique<ClientThread>();
        thread->index = t;
        thread->epoll = ::epoll_create1(EPOLL_CLOEXEC);
        thread->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        watch(thread->epoll, EPOLL_CTL_ADD, thread->wake, EPOLLIN, thread.get());
        m_threads.push_back(std::move(thread));
    }
    for (int m = 0; m < members; ++m) {
        auto link = std::make_unique<Link>();
        link->member = m;
        if (!link->stream.connect(m_port, m_tls.client(), &error))
            return false;
        if (link->stream.ssl())
            m_cipher = SSL_get_cipher_name(link->stream.ssl());
        ClientThread &thread = *m_threads[std::size_t(m % threads)];
        watch(thread.epoll, EPOLL_CTL_ADD, link->stream.fd(), EPOLLIN, link.get());
        thread.links.push_back(link.get());
        m_clientLinks.push_back(std::move(link));
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (m_live.load() < members) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "relay took only " + std::to_string(m_live.load()) + " of " + std::to_string(members) + " links";
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    for (auto &thread : m_threads) {
        ClientThread *raw = thread.get();
        thread->thread = std::thread([this, raw] {
            pthread_setname_np(pthread_self(), "floor-clients");
            t_current = raw;
            runClients(*raw);
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
            if (link.stream.isOpen() && !link.live)
                relayHandshake(link);
            else
                onLink(m_relayEpoll, link, events, [this](Link &l) { relayRead(l); });
            return true;
        },
        [this] { return flushDirty(m_relayEpoll, m_relayLinks); });
}

void Floor::relayAccept()
{
    for (;;) {
        auto link = std::make_unique<Link>();
        if (!link->stream.accept(m_listen, m_tls.server()))
            return;
        link->member = int(m_relayLinks.size());
        link->live = !link->stream.ssl();
        watch(m_relayEpoll, EPOLL_CTL_ADD, link->stream.fd(), EPOLLIN, link.get());
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
    watchOut(m_relayEpoll, link, result == 0 && wantWrite);
    if (result == 0)
        return;
    link.live = true;
    ++m_live;
    // Read ahead may have taken in more than the handshake.
    if (SSL_has_pending(link.stream.ssl()))
        relayRead(link);
}

void Floor::relayRead(Link &link)
{
    const auto slot = std::uint16_t(link.member + 1);
    auto relay = [&](const char *line, std::uint32_t length) {
        char header[6];
        putBe32(header, length + 2);
        header[4] = char(slot >> 8);
        header[5] = char(slot & 0xff);
        for (auto &to : m_relayLinks) {
            if (!to->live || !to->stream.isOpen())
                continue;
            to->out.append(header, sizeof header);
            to->out.append(line, length);
            to->dirty = true;
        }
    };
    if (!link.stream.read(link.in) || !takeFrames(link, 1, kMaxFrame, relay))
        closeLink(m_relayEpoll, link);
}

void Floor::flush(int epoll, Link &link)
{
    if (!writeOut(epoll, link))
        closeLink(epoll, link);
}

template <typename Read>
void Floor::onLink(int epoll, Link &link, std::uint32_t events, Read read)
{
    if (link.stream.isOpen() && (events & EPOLLOUT))
        flush(epoll, link);
    if (link.stream.isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        read(link);
}

// What the turn sent leaves in one write per link, however many frames.
template <typename Links>
bool Floor::flushDirty(int epoll, const Links &links)
{
    for (const auto &link : links) {
        if (link->dirty && link->stream.isOpen()) {
            link->dirty = false;
            flush(epoll, *link);
        }
    }
    return true;
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

void Floor::runClients(ClientThread &thread)
{
    std::vector<Task> tasks;
    auto runAll = [&] {
        for (const Task &task : tasks)
            run(task.member, task.id);
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
            onLink(thread.epoll, *static_cast<Link *>(ptr), events, [&](Link &l) { clientRead(thread, l); });
            return true;
        },
        [&] {
            tasks.swap(thread.later);
            runAll();
            return flushDirty(thread.epoll, thread.links);
        });
}

void Floor::clientRead(ClientThread &thread, Link &link)
{
    auto arrival = [&](const char *frame, std::uint32_t length) {
        arrived(thread.index, readLineId(frame + 2, length - 2));
    };
    if (!link.stream.read(link.in) || !takeFrames(link, 2, kMaxFrame + 2, arrival))
        closeLink(thread.epoll, link);
}

void Floor::post(int member, std::uint64_t id)
{
    ClientThread &to = *m_threads[std::size_t(member) % m_threads.size()];
    if (&to == t_current) {
        to.later.push_back({member, id});
        return;
    }
    bool idle;
    {
        std::lock_guard lock(to.mutex);
        idle = to.tasks.empty();
        to.tasks.push_back({member, id});
    }
    if (idle)
        wake(to.wake);
}

void Floor::say(int member, std::uint64_t id)
{
    Link &link = *m_clientLinks[std::size_t(member)];
    if (!link.stream.isOpen())
        return;
    char frame[4 + kLineLength];
    putBe32(frame, kLineLength);
    writeLine(frame + 4, id);
    // Written at the end of the turn, with whatever else the turn sends.
    link.out.append(frame, sizeof frame);
    link.dirty = true;
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

// Prints a turn's lines in one write: standard output's buffer holds more
// than a turn brings.
void flushOut(std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    text.clear();
}

// One client as a process of its own (see the top of this file).
int runClient(int port, const std::string &identity)
{
    std::string error;
    TlsContexts tls;
    Link link;
    if ((!identity.empty() && !tls.load(identity, &error)) || !link.stream.connect(port, tls.client(), &error)) {
        std::fprintf(stderr, "tavix_floor: %s\n", error.c_str());
        return 1;
    }
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 22);
    std::fprintf(stderr, "tavix_floor: connected\n");

    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    int input = STDIN_FILENO;
    watch(epoll, EPOLL_CTL_ADD, STDIN_FILENO, EPOLLIN, &input);
    watch(epoll, EPOLL_CTL_ADD, link.stream.fd(), EPOLLIN, &link);
    std::string typed; // standard input not yet a whole line
    std::string printed;
    auto print = [&](const char *frame, std::uint32_t length) {
        printed += std::to_string((std::uint8_t(frame[0]) << 8) | std::uint8_t(frame[1])) + " > ";
        printed.append(frame + 2, length - 2);
        printed += '\n';
    };
    eventLoop(
        epoll,
        [&](void *ptr, std::uint32_t events) {
            if (ptr == &input) {
                char buffer[64 * 1024];
                const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    return false;
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
            if ((events & EPOLLOUT) && !writeOut(epoll, link))
                return false;
            return link.stream.read(link.in) && takeFrames(link, 2, kMaxFrame + 2, print);
        },
        [&] {
            flushOut(printed);
            const bool dirty = std::exchange(link.dirty, false);
            return !dirty || writeOut(epoll, link);
        });
    flushOut(printed);
    ::close(epoll);
    return 0;
}

} // namespace

} // namespace bench

int main(int argc, char **argv)
{
    // A peer that went away must fail a write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
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
    bench::Floor floor(identity);
    if (mode == "relay") {
        if (floor.relayAlone())
            return 0;
        std::fprintf(stderr, "tavix_floor: %s\n", floor.error.c_str());
        return 1;
    }
    if (members < 1 || threads < 1) {
        std::printf("error usage: tavix_floor --members N [--threads T] [--identity FILE]\n");
        return 1;
    }
    if (!floor.start(members, std::min(threads, members))) {
        std::printf("error %s\n", floor.error.c_str());
        return 1;
    }
    std::printf("ready relay_tid=%d cipher=%s\n", int(floor.relayThread()), floor.cipher().c_str());
    std::fflush(stdout);
    return bench::serve(floor, stdin, stdout) ? 0 : 1;
}
