#include "items.h"

#include "hostidentity.h"
#include "loopthread.h"
#include "memberkeys.h"
#include "room.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include <sched.h>

namespace bench {

namespace {

using namespace std::chrono_literals;
using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

constexpr auto kJoinTimeout = 20s;

double ms(std::int64_t ns)
{
    return double(ns) / 1e6;
}

// What the member and the host threads tell the bench, under one lock.
struct Progress
{
    std::mutex mutex;
    std::condition_variable changed;
    std::int64_t joinedAt = 0;
    bool ended = false;
    int departures = 0;

    template <typename Predicate>
    bool waitFor(Predicate done)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kJoinTimeout, done);
    }
    template <typename Change>
    void tell(Change change)
    {
        std::lock_guard lock(mutex);
        change();
        changed.notify_all();
    }
};

// Sockets that crowd a host's door from the given addresses, each back as
// soon as the host drops it; by thirds idle, half a TLS record, and TLS
// that never asks to join.
class Crowd : public QObject
{
public:
    Crowd(const Crowding &crowding, quint16 port)
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        for (int i = 0; i < crowding.sockets; ++i) {
            auto *socket = new QSslSocket(this);
            socket->setSslConfiguration(tls);
            const QHostAddress from = crowding.from.at(i % crowding.from.size());
            const int kind = i % 3;
            const auto dial = [socket, from, kind, to = crowding.to, port] {
                socket->abort();
                socket->bind(from);
                if (kind == 2)
                    socket->connectToHostEncrypted(to.toString(), port);
                else
                    socket->connectToHost(to, port);
            };
            if (kind == 1) {
                connect(socket, &QSslSocket::connected, socket,
                        [socket] { socket->write(QByteArray::fromHex("16030100c8") + QByteArray(16, '\x01')); });
            }
            connect(socket, &QSslSocket::stateChanged, socket, [socket, dial](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::UnconnectedState)
                    QTimer::singleShot(0, socket, dial);
            });
            dial();
        }
    }
};

} // namespace

bool runJoin(int joins, const Crowding &crowding, const QString &door)
{
    std::printf("\n== joining a room on loopback: openClient() until Joined (TCP, TLS, %swelcome), %d joins%s ==\n",
                door.isEmpty() ? "" : "the passphrase exchange, ", joins,
                crowding.sockets ? qPrintable(QStringLiteral(", while %1 sockets from %2 crowd it")
                                                  .arg(crowding.sockets).arg(crowding.label))
                                 : "");
    std::fflush(stdout);
    LoopThread hostLoop("room-host");
    LoopThread memberLoop("room-member");
    LoopThread crowdLoop("crowd");
    Progress progress;
    Room *host = nullptr;
    quint16 port = 0;
    hostLoop.run([&] {
        host = new Room;
        host->setPort(0);
        host->setMaxMembers(2);
        host->setData(MemberKeys::Name, QStringLiteral("host"));
        host->setDoor(TAVIXLibCtl::Passphrase::fromTyped(door));
        QObject::connect(host, &Room::dataChanged, host, [&](int, const QString &key, const QString &value) {
            if (key == MemberKeys::Presence && value == MemberKeys::Absent)
                progress.tell([&] { ++progress.departures; });
        });
        host->openServer();
        port = host->boundPort();
    });
    bool ok = port != 0;
    if (!ok)
        std::printf("  ERROR: the host could not listen\n");
    Crowd *crowd = nullptr;
    if (ok && crowding.sockets > 0)
        crowdLoop.run([&] { crowd = new Crowd(crowding, port); });
    int failed = 0;

    std::vector<std::int64_t> samples;
    for (int i = 0; ok && i < joins; ++i) {
        Room *member = nullptr;
        std::int64_t startedAt = 0;
        progress.tell([&] {
            progress.joinedAt = 0;
            progress.ended = false;
        });
        memberLoop.run([&] {
            member = new Room;
            member->setServerAddress(crowding.to.toString());
            member->setPort(port);
            member->setData(MemberKeys::Name, QStringLiteral("member"));
            member->offerPassphrase(TAVIXLibCtl::Passphrase::fromTyped(door));
            QObject::connect(member, &Room::stateChanged, member, [&progress, member] {
                if (member->state() == Room::State::Joined)
                    progress.tell([&] {
                        if (!progress.joinedAt)
                            progress.joinedAt = nowNs();
                    });
            });
            QObject::connect(member, &Room::disconnected, member,
                             [&progress] { progress.tell([&] { progress.ended = true; }); });
            startedAt = nowNs();
            member->openClient();
        });
        const bool joined = progress.waitFor([&] { return progress.joinedAt != 0 || progress.ended; })
                            && progress.joinedAt != 0;
        int endReason = 0;
        memberLoop.run([member, &endReason] {
            endReason = int(member->endReason());
            member->closeConnection();
            delete member;
        });
        if (joined) {
            samples.push_back(progress.joinedAt - startedAt);
        } else {
            std::printf("  ERROR: join %d did not finish (end reason %d)\n", i + 1, endReason);
            ++failed;
            ok = crowding.sockets > 0; // a crowd's count goes on
            continue;
        }
        // The host must have let the last one go before the next one knocks.
        if (ok && !progress.waitFor([&] { return progress.departures >= int(samples.size()); })) {
            std::printf("  ERROR: the host never saw member %d leave\n", i + 1);
            ok = false;
        }
    }
    crowdLoop.run([crowd] { delete crowd; });
    hostLoop.run([host] { delete host; });
    if (crowding.sockets > 0) {
        std::printf("  joined %d of %d\n", joins - failed, joins);
        ok = ok && failed == 0;
    }
    if (!samples.empty()) {
        const std::int64_t first = samples.front();
        const LatencyFigures f = summarise(samples);
        std::printf("  median %.2f ms, p99 %.2f ms, max %.2f ms; the first (no known host yet) %.2f ms\n",
                    ms(f.p50), ms(f.p99), ms(f.max), ms(first));
    }
    std::fflush(stdout);
    return ok;
}

bool crowdFromManyAddresses(QString *why)
{
    // A network of this process's own, where one /64 has addresses to spare.
    if (::geteuid() != 0) {
        *why = QStringLiteral("it needs root");
        return false;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        *why = QStringLiteral("unshare(CLONE_NEWNET) failed");
        return false;
    }
    QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
    if (ip.isEmpty())
        ip = QStandardPaths::findExecutable(QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    QByteArray commands = "link set lo up\n";
    for (int n = 1; n <= kCrowdAddresses + 1; ++n)
        commands += QStringLiteral("addr add fd7a:7a::%1/64 dev lo nodad\n").arg(n, 0, 16).toLatin1();
    QProcess batch;
    batch.start(ip, {QStringLiteral("-batch"), QStringLiteral("-")});
    batch.write(commands);
    batch.closeWriteChannel();
    if (ip.isEmpty() || !batch.waitForFinished(10000) || batch.exitCode() != 0) {
        *why = QStringLiteral("ip(8) failed: ") + QString::fromLocal8Bit(batch.readAllStandardError());
        return false;
    }
    return true;
}

bool runKeyMaking(int runs)
{
    std::printf("\n== a host's key: made on an empty folder, then loaded again, %d runs ==\n", runs);
    std::vector<std::int64_t> made, loaded;
    for (int i = 0; i < runs; ++i) {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("tavix/host-identity.pem"));
        QString error;
        for (auto *samples : {&made, &loaded}) {
            const std::int64_t start = nowNs();
            const bool good = TAVIXLibCtl::HostIdentity::loadOrCreate(path, &error).has_value();
            samples->push_back(nowNs() - start);
            if (!good) {
                std::printf("  ERROR: %s\n", qPrintable(error));
                return false;
            }
        }
    }
    const LatencyFigures m = summarise(made), l = summarise(loaded);
    std::printf("  made:   median %.2f ms (min %.2f, max %.2f)\n", ms(m.p50),
                ms(*std::min_element(made.begin(), made.end())), ms(m.max));
    std::printf("  loaded: median %.2f ms (min %.2f, max %.2f)\n", ms(l.p50),
                ms(*std::min_element(loaded.begin(), loaded.end())), ms(l.max));
    std::fflush(stdout);
    return true;
}

} // namespace bench
