// The program's own start-up, with a clock on it: builds the window exactly
// as the program does, shows it and reports when it was first painted. It can
// then stay and report its resident memory, log chat lines and report it
// after them, or join a room and report what sitting idle in it costs.
//
//   tavix_window_probe [--settle MS | --lines N | --join PORT --idle SECONDS]
//
// Prints key=value lines; times are CLOCK_MONOTONIC nanoseconds.

#include "eventloop.h"
#include "form1.h"
#include "gorvel.h"
#include "memberkeys.h"
#include "room.h"
#include "measure.h"
#include "windowlog.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

using bench::nowNs;
using TAVIXLibCtl::Room;

namespace {

int argValue(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

// Calls `then` once, after the window's first paint has finished.
class FirstPaint : public QObject
{
public:
    FirstPaint(QWidget *window, std::function<void()> then) : m_then(std::move(then))
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && m_then) {
            watched->removeEventFilter(this);
            // The whole window is painted in this pass; report after it.
            QTimer::singleShot(0, this, std::exchange(m_then, nullptr));
        }
        return false;
    }

private:
    std::function<void()> m_then;
};

void printMemory()
{
    std::printf("rss_kb=%lld\nhwm_kb=%lld\n", (long long)bench::procStatus("VmRSS"),
                (long long)bench::procStatus("VmHWM"));
}

// Chat lines of 40 characters, one per event-loop turn as the network
// delivers them, until the log shows the newest; then the memory.
void logLines(Form1 &window, int lines)
{
    // The control is in no room, so the member's name reads as "".
    const QString value = QStringLiteral("a line of thirty-seven characters....");
    const std::int64_t t0 = nowNs();
    for (int i = 0; i < lines; ++i) {
        emit window.Gorvel1->DataChanged(1, 0, TAVIXLibCtl::MemberKeys::Chat, value);
        QCoreApplication::processEvents();
    }
    while (!bench::logShowsNewest(window))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents(); // and paints it
    std::printf("lines_ns=%lld\n", (long long)(nowNs() - t0));
    printMemory();
}

} // namespace

int main(int argc, char *argv[])
{
    const std::int64_t mainNs = nowNs();
    const int settleMs = argValue(argc, argv, "--settle", -1);
    const int joinPort = argValue(argc, argv, "--join", 0);
    const int idleSeconds = argValue(argc, argv, "--idle", 60);
    const int lines = argValue(argc, argv, "--lines", 0);

    // As the program starts: see src/main.cpp.
    TAVIXLibCtl::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavix"));

    std::unique_ptr<Form1> window = joinPort > 0
        ? std::make_unique<Form1>(new TAVIXLibCtl::Gorvel, joinPort)
        : std::make_unique<Form1>();

    auto idleInRoom = [&] {
        Room *room = window->Gorvel1->room();
        auto measure = [&, room] {
            const auto cpu0 = bench::processCpu();
            const auto vol0 = bench::procStatus("voluntary_ctxt_switches");
            const std::int64_t t0 = nowNs();
            QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &app, [=, &app] {
                const auto cpu1 = bench::processCpu();
                std::printf("idle_ns=%lld\nidle_user_ns=%lld\nidle_sys_ns=%lld\nidle_voluntary_switches=%lld\n"
                            "idle_state=%d\n",
                            (long long)(nowNs() - t0), (long long)(cpu1.userNs - cpu0.userNs),
                            (long long)(cpu1.systemNs - cpu0.systemNs),
                            (long long)(bench::procStatus("voluntary_ctxt_switches") - vol0), int(room->state()));
                printMemory();
                app.quit();
            });
        };
        auto started = std::make_shared<bool>(false);
        QObject::connect(room, &Room::stateChanged, &app, [room, measure, started] {
            if (!*started && room->state() == Room::State::Joined) {
                *started = true;
                measure();
            }
        });
        QObject::connect(room, &Room::disconnected, &app, [&app] {
            std::printf("error=the room ended\n");
            app.exit(2);
        });
        window->Connect->click();
        QTimer::singleShot(10000, &app, [room, &app] {
            if (room->state() != Room::State::Joined) {
                std::printf("error=could not join the room\n");
                app.exit(2);
            }
        });
    };

    FirstPaint firstPaint(window.get(), [&] {
        std::printf("main_ns=%lld\npainted_ns=%lld\n", (long long)mainNs, (long long)nowNs());
        std::fflush(stdout);
        if (joinPort > 0) {
            idleInRoom();
        } else if (lines > 0) {
            logLines(*window, lines);
            app.quit();
        } else if (settleMs >= 0) {
            QTimer::singleShot(settleMs, &app, [&app] {
                printMemory();
                app.quit();
            });
        } else {
            app.quit();
        }
    });
    window->show();
    const int status = app.exec();
    std::fflush(stdout);
    window.reset();
    return status;
}
