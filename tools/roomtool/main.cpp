#include "roomconsole.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace TAVIXLibCtl;

namespace {

const char kUsage[] =
    "Usage: tavix-room host [--port N] [--size N] [--name NAME]\n"
    "       tavix-room join ADDRESS [--port N] [--name NAME]\n"
    "\n"
    "Hosts or joins a Tavix chat room without a window. Every event is printed\n"
    "as the window's log would show it, one line each. Each line read from\n"
    "standard input is said in the room. End of input leaves a joined room;\n"
    "a host keeps its room until interrupted (Ctrl-C or SIGTERM).\n"
    "\n"
    "Options:\n"
    "  --port N           TCP port, default 5120 (0 hosts on any free port)\n"
    "  --size N           room size when hosting, 1-256, default 5\n"
    "  --name NAME        display name, default 名無し\n"
    "  --handshake-ms MS  drop a connection whose handshake takes longer, default 10000\n"
    "  --dead-peer-ms MS  drop a peer that is silent this long, default 15000\n"
    "  -h, --help         show this help\n"
    "\n"
    "Exit status: 0 after a normal end, 1 when the room ended on a failure\n"
    "(the reason goes to standard error), 2 for bad arguments.\n";

int usageError(const QString &message)
{
    std::fprintf(stderr, "tavix-room: %s\nTry 'tavix-room --help'.\n", qPrintable(message));
    return 2;
}

bool parseNumber(const QString &text, long min, long max, long *out)
{
    bool ok = false;
    const long v = text.toLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavix-room"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.00"));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("N"));
    const QCommandLineOption size(QStringLiteral("size"), {}, QStringLiteral("N"));
    const QCommandLineOption name(QStringLiteral("name"), {}, QStringLiteral("NAME"));
    const QCommandLineOption handshake(QStringLiteral("handshake-ms"), {}, QStringLiteral("MS"));
    const QCommandLineOption deadPeer(QStringLiteral("dead-peer-ms"), {}, QStringLiteral("MS"));
    parser.addOptions({help, port, size, name, handshake, deadPeer});
    parser.addPositionalArgument(QStringLiteral("command"), {});

    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("say 'host' or 'join ADDRESS'"));
    const QString command = args.first();
    RoomConsole::Mode mode;
    if (command == QLatin1String("host") && args.size() == 1)
        mode = RoomConsole::Mode::Host;
    else if (command == QLatin1String("join") && args.size() == 2)
        mode = RoomConsole::Mode::Join;
    else if (command == QLatin1String("join"))
        return usageError(QStringLiteral("'join' takes one address"));
    else
        return usageError(QStringLiteral("unknown command '%1'").arg(args.join(u' ')));

    long portValue = 5120;
    if (parser.isSet(port) && !parseNumber(parser.value(port), mode == RoomConsole::Mode::Host ? 0 : 1, 65535, &portValue))
        return usageError(QStringLiteral("--port must be a number from %1 to 65535")
                              .arg(mode == RoomConsole::Mode::Host ? 0 : 1));
    long sizeValue = 5;
    if (parser.isSet(size)) {
        if (mode != RoomConsole::Mode::Host)
            return usageError(QStringLiteral("--size is for hosting"));
        if (!parseNumber(parser.value(size), 1, Room::kMaxSize, &sizeValue))
            return usageError(QStringLiteral("--size must be a number from 1 to %1").arg(Room::kMaxSize));
    }
    Timeouts timeouts;
    long ms = 0;
    if (parser.isSet(handshake)) {
        if (!parseNumber(parser.value(handshake), 1, 3'600'000, &ms))
            return usageError(QStringLiteral("--handshake-ms must be a positive number"));
        timeouts.handshake = std::chrono::milliseconds(ms);
    }
    if (parser.isSet(deadPeer)) {
        if (!parseNumber(parser.value(deadPeer), 50, 3'600'000, &ms))
            return usageError(QStringLiteral("--dead-peer-ms must be a number from 50"));
        timeouts.deadPeer = timeouts.stall = std::chrono::milliseconds(ms);
    }
    QString nameValue = parser.isSet(name) ? parser.value(name) : QStringLiteral("名無し");
    if (nameValue.isEmpty())
        nameValue = QStringLiteral("名無し");
    if (nameValue.size() > 32767)
        return usageError(QStringLiteral("--name is too long"));

    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return usageError(QStringLiteral("cannot set up signal handling"));
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    Room room;
    room.setTimeouts(timeouts);
    room.setPort(int(portValue));
    room.setMaxMembers(int(sizeValue));
    room.setData(QStringLiteral("name"), nameValue);
    if (mode == RoomConsole::Mode::Join)
        room.setServerAddress(args.at(1));

    RoomConsole console(mode, &room);
    QObject::connect(&console, &RoomConsole::finished, &app,
                     [&] { QCoreApplication::exit(console.exitCode()); }, Qt::QueuedConnection);
    QSocketNotifier interrupts(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &console, [&] {
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        console.leave();
    });
    console.start();
    return app.exec();
}
