// A member that stops reading while another floods the room: how long the
// room waits for it at a stretch before the host lets it go.

#include "items.h"

#include "memberkeys.h"
#include "rawmember.h"
#include "room.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <memory>

namespace bench {

namespace {

using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

constexpr int kRunTimeoutMs = 60000;
constexpr qsizetype kLineLength = 1000;

// Runs the event loop until `done`, or for `timeoutMs`.
template <typename Done>
bool loopUntil(Done done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

} // namespace

bool runStall(int runs)
{
    std::printf("\n== a member that stops reading while another floods the room with %lld-character lines, "
                "stall bound %lld ms, %d runs ==\n",
                (long long)kLineLength, (long long)TAVIXLibCtl::Timeouts().stall.count(), runs);
    Room host;
    host.setPort(0);
    host.setData(MemberKeys::Name, QStringLiteral("host"));
    host.openServer();
    Room flooder;
    flooder.setServerAddress(QStringLiteral("127.0.0.1"));
    flooder.setPort(host.boundPort());
    flooder.openClient();
    if (!loopUntil([&] { return flooder.state() == Room::State::Joined; }, 10000)) {
        std::printf("  ERROR: the flooding member could not join\n");
        return false;
    }
    // The stretch the others waited: from the last line the host raised
    // before the deaf member left, to its departure.
    QElapsedTimer clock;
    clock.start();
    qint64 lastLineAt = 0;
    qint64 stretch = -1;
    int arrivals = 0;
    QObject::connect(&host, &Room::dataChanged, &host, [&](int slot, const QString &key, const QString &value) {
        if (key == MemberKeys::Chat)
            lastLineAt = clock.elapsed();
        else if (key == MemberKeys::Presence && slot == 2)
            value == MemberKeys::Present ? void(++arrivals) : void(stretch = clock.elapsed() - lastLineAt);
    });
    QTimer flood;
    qint64 lines = 0;
    const QString line(kLineLength, u'x');
    QObject::connect(&flood, &QTimer::timeout, &flood, [&] {
        for (int n = 0; n < 64 && flooder.pendingOutput() < 512 * 1024; ++n)
            flooder.setData(MemberKeys::Chat, QString::number(lines++) + line);
    });
    bool ok = true;
    for (int run = 1; ok && run <= runs; ++run) {
        stretch = -1;
        RawMember deaf(QHostAddress::LocalHost, host.boundPort(), QStringLiteral("deaf"));
        deaf.stopReading();
        ok = loopUntil([&] { return arrivals == run; }, 10000);
        const qint64 linesBefore = lines;
        flood.start(1);
        ok = ok && loopUntil([&] { return stretch >= 0; }, kRunTimeoutMs);
        flood.stop();
        if (ok)
            std::printf("  run %d: the room waited %lld ms at a stretch (%lld lines said in the run)\n", run,
                        (long long)stretch, (long long)(lines - linesBefore));
        else
            std::printf("  ERROR: run %d: the deaf member was not let go within %d ms\n", run, kRunTimeoutMs);
    }
    flooder.closeConnection();
    host.closeConnection();
    return ok;
}

} // namespace bench
