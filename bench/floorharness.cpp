#include "floorharness.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace bench {

namespace {

constexpr std::uint32_t kMaxFrame = 64 * 1024;
// Bytes read from one link per turn before the others get theirs.
constexpr std::size_t kReadSlice = 256 * 1024;
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

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void watch(int epoll, int op, int fd, std::uint32_t events, void *ptr)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = ptr;
    ::epoll_ctl(epoll, op, fd, &ev);
}

// Appends what the socket has, up to a slice; false when the link ended.
bool readInto(int fd, std::string &in)
{
    char buffer[64 * 1024];
    std::size_t taken = 0;
    while (taken < kReadSlice) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            in.append(buffer, size_t(n));
            taken += size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
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

} // namespace

FloorHarness::FloorHarness() = default;

FloorHarness::~FloorHarness()
{
    stop();
}

bool FloorHarness::start(int members, int threads, Tracker *tracker, std::string *error)
{
    m_tracker = tracker;
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(m_listen, 256) != 0
        || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        *error = std::string("floor relay cannot listen: ") + std::strerror(errno);
        return false;
    }
    m_relayEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_relayStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_listen, EPOLLIN, nullptr);
    watch(m_relayEpoll, EPOLL_CTL_ADD, m_relayStop, EPOLLIN, &m_relayStop);
    m_relay = std::thread([this] {
        pthread_setname_np(pthread_self(), "floor-relay");
        runRelay();
    });

    for (int t = 0; t < threads; ++t) {
        auto loop = std::make_unique<ClientLoop>();
        loop->epoll = ::epoll_create1(EPOLL_CLOEXEC);
        loop->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        watch(loop->epoll, EPOLL_CTL_ADD, loop->wake, EPOLLIN, loop.get());
        m_clients.push_back(std::move(loop));
    }
    for (int m = 0; m < members; ++m) {
        auto link = std::make_unique<Link>();
        link->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (link->fd < 0
            || ::connect(link->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            *error = std::string("floor client cannot connect: ") + std::strerror(errno);
            return false;
        }
        setNoDelay(link->fd);
        setNonBlocking(link->fd);
        ClientLoop &loop = *m_clients[size_t(m % threads)];
        watch(loop.epoll, EPOLL_CTL_ADD, link->fd, EPOLLIN, link.get());
        loop.links.push_back(link.get());
        m_memberLinks.push_back(std::move(link));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_accepted.load() < members) {
        if (std::chrono::steady_clock::now() > deadline) {
            *error = "floor relay accepted only " + std::to_string(m_accepted.load()) + " of "
                     + std::to_string(members);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto &loop : m_clients) {
        ClientLoop *raw = loop.get();
        loop->thread = std::thread([this, raw] {
            pthread_setname_np(pthread_self(), "floor-members");
            runClient(*raw);
        });
    }
    return true;
}

void FloorHarness::runRelay()
{
    epoll_event events[kMaxEvents];
    std::vector<Link *> dirty;
    for (;;) {
        const int n = ::epoll_wait(m_relayEpoll, events, kMaxEvents, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; ++i) {
            void *ptr = events[i].data.ptr;
            if (ptr == &m_relayStop)
                return;
            if (!ptr) {
                while (true) {
                    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0)
                        break;
                    setNoDelay(fd);
                    auto link = std::make_unique<Link>();
                    link->fd = fd;
                    link->slot = std::uint16_t(m_relayLinks.size() + 1);
                    watch(m_relayEpoll, EPOLL_CTL_ADD, fd, EPOLLIN, link.get());
                    m_relayLinks.push_back(std::move(link));
                    ++m_accepted;
                }
                continue;
            }
            Link &link = *static_cast<Link *>(ptr);
            if (link.fd < 0)
                continue;
            if (events[i].events & EPOLLOUT)
                flush(m_relayEpoll, link);
            if (link.fd >= 0 && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                relayRead(link);
        }
        // One write per link per turn, however many frames it collected.
        for (auto &link : m_relayLinks) {
            if (link->dirty && link->fd >= 0) {
                link->dirty = false;
                flush(m_relayEpoll, *link);
            }
        }
    }
}

void FloorHarness::relayRead(Link &link)
{
    if (!readInto(link.fd, link.in)) {
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
        putBe32(header, length + 2);
        header[4] = char(link.slot >> 8);
        header[5] = char(link.slot & 0xff);
        for (auto &to : m_relayLinks) {
            if (to->fd < 0)
                continue;
            to->out.append(header, sizeof header);
            to->out.append(at + 4, length);
            to->dirty = true;
        }
        m_tracker->received(readLineId(at + 4, length));
        link.inStart += 4 + length;
    }
    compact(link.in, link.inStart);
}

bool FloorHarness::flush(int epoll, Link &link)
{
    std::size_t done = 0;
    while (done < link.out.size()) {
        const ssize_t n = ::send(link.fd, link.out.data() + done, link.out.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closeLink(epoll, link);
        return false;
    }
    link.out.erase(0, done);
    const bool pending = !link.out.empty();
    if (pending != link.watchingOut) {
        link.watchingOut = pending;
        watch(epoll, EPOLL_CTL_MOD, link.fd, EPOLLIN | (pending ? unsigned(EPOLLOUT) : 0u), &link);
    }
    return true;
}

void FloorHarness::closeLink(int epoll, Link &link)
{
    if (link.fd < 0)
        return;
    if (!m_stopping)
        ++m_broken;
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, link.fd, nullptr);
    ::close(link.fd);
    link.fd = -1;
    link.out.clear();
}

void FloorHarness::runClient(ClientLoop &loop)
{
    epoll_event events[kMaxEvents];
    std::deque<std::function<void()>> tasks;
    for (;;) {
        const int n = ::epoll_wait(loop.epoll, events, kMaxEvents, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; ++i) {
            void *ptr = events[i].data.ptr;
            if (ptr == &loop) {
                std::uint64_t count;
                [[maybe_unused]] auto r = ::read(loop.wake, &count, sizeof count);
                if (m_stopping)
                    return;
                {
                    std::lock_guard lock(loop.mutex);
                    tasks.swap(loop.tasks);
                }
                for (auto &task : tasks)
                    task();
                tasks.clear();
                for (Link *link : loop.links) {
                    if (link->fd >= 0 && !link->out.empty() && !link->watchingOut)
                        flush(loop.epoll, *link);
                }
                continue;
            }
            Link &link = *static_cast<Link *>(ptr);
            if (link.fd < 0)
                continue;
            if (events[i].events & EPOLLOUT)
                flush(loop.epoll, link);
            if (link.fd < 0 || !(events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            if (!readInto(link.fd, link.in)) {
                closeLink(loop.epoll, link);
                continue;
            }
            while (link.in.size() - link.inStart >= 4) {
                const char *at = link.in.data() + link.inStart;
                const std::uint32_t length = getBe32(at);
                if (length < 2 || length > kMaxFrame + 2) {
                    closeLink(loop.epoll, link);
                    break;
                }
                if (link.in.size() - link.inStart < 4 + length)
                    break;
                m_tracker->received(readLineId(at + 6, length - 2));
                link.inStart += 4 + length;
            }
            if (link.fd >= 0)
                compact(link.in, link.inStart);
        }
    }
}

void FloorHarness::post(int member, std::function<void()> task)
{
    ClientLoop &loop = *m_clients[size_t(member) % m_clients.size()];
    bool idle;
    {
        std::lock_guard lock(loop.mutex);
        idle = loop.tasks.empty();
        loop.tasks.push_back(std::move(task));
    }
    if (idle)
        wake(loop.wake);
}

void FloorHarness::send(int member, std::uint64_t id)
{
    Link &link = *m_memberLinks[size_t(member)];
    if (link.fd < 0)
        return;
    char frame[4 + kLineLength];
    putBe32(frame, kLineLength);
    writeLine(frame + 4, id);
    m_tracker->sent(id, member);
    // Written at the end of the turn, with whatever else the turn sends.
    link.out.append(frame, sizeof frame);
}

void FloorHarness::wake(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(fd, &one, sizeof one);
}

std::int64_t FloorHarness::hostCpuNs() const
{
    clockid_t clock;
    timespec ts{};
    if (!m_relay.joinable()
        || pthread_getcpuclockid(const_cast<std::thread &>(m_relay).native_handle(), &clock) != 0
        || clock_gettime(clock, &ts) != 0)
        return 0;
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string FloorHarness::trouble() const
{
    const int broken = m_broken.load();
    return broken ? std::to_string(broken) + " links broke during the run" : std::string();
}

void FloorHarness::stop()
{
    m_stopping = true;
    for (auto &loop : m_clients) {
        wake(loop->wake);
        if (loop->thread.joinable())
            loop->thread.join();
    }
    if (m_relay.joinable()) {
        wake(m_relayStop);
        m_relay.join();
    }
    for (auto &link : m_memberLinks) {
        if (link->fd >= 0)
            ::close(link->fd);
    }
    for (auto &link : m_relayLinks) {
        if (link->fd >= 0)
            ::close(link->fd);
    }
    for (auto &loop : m_clients) {
        ::close(loop->epoll);
        ::close(loop->wake);
    }
    for (int fd : {m_listen, m_relayEpoll, m_relayStop}) {
        if (fd >= 0)
            ::close(fd);
    }
    m_memberLinks.clear();
    m_relayLinks.clear();
    m_clients.clear();
    m_listen = m_relayEpoll = m_relayStop = -1;
}

} // namespace bench
