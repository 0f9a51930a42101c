#include "roomconsole.h"

#include "eventloop.h"
#include "knownhosts.h"
#include "memberkeys.h"
#include "roombrowser.h"
#include "roomdefaults.h"
#include "roomtext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace TAVIXLibCtl;

namespace {

constexpr int kUsageError = 2;
constexpr long kMaxPort = 65535;
// Bounds in milliseconds: above an hour is a typo; a heartbeat needs some room.
constexpr long kMaxMs = 3'600'000;
constexpr long kShortestDeadPeerMs = 50;
constexpr long kMaxSeconds = 3600;
constexpr int kDefaultSeconds = 3;

// QCommandLineParser writes one usage line; the two commands want one each.
const char kUsageLines[] =
    "Usage: tavix-room host [--port N] [--size N] [--name NAME] [--no-announce]\n"
    "       tavix-room join ADDRESS [--port N] [--name NAME]\n"
    "       tavix-room rooms [--seconds N]\n"
    "       tavix-room forget ADDRESS [--port N]\n"
    "\n";

int usageError(const QString &message)
{
    std::fprintf(stderr, "tavix-room: %s\nTry 'tavix-room --help'.\n", qPrintable(message));
    return kUsageError;
}

// The number given for `option`, if it was given and lies within min..max;
// `bad` says why when it was given but does not.
std::optional<long> numberOption(const QCommandLineParser &parser, const QCommandLineOption &option,
                                 long min, long max, QString *bad)
{
    if (!parser.isSet(option))
        return std::nullopt;
    bool ok = false;
    const long v = parser.value(option).toLong(&ok);
    if (ok && v >= min && v <= max)
        return v;
    *bad = QStringLiteral("--%1 must be a number from %2 to %3").arg(option.names().constLast()).arg(min).arg(max);
    return std::nullopt;
}

// Drops the kept key of a host, so that the next join accepts its new one.
int forget(const QString &address, quint16 port)
{
    QString error;
    const int forgotten = KnownHosts().forget(address, port, &error);
    if (forgotten < 0) {
        std::fprintf(stderr, "tavix-room: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("tavix-room: forgot %d key%s for %s\n", forgotten, forgotten == 1 ? "" : "s",
                qPrintable(address));
    return 0;
}

// Prints the rooms announced on the local network after looking for them a
// while, one a line: address, port, name, members and the host's key, by tabs.
int listRooms(int seconds)
{
    RoomBrowser browser;
    int status = 0;
    QObject::connect(&browser, &RoomBrowser::unavailable, &browser, [&](const QString &why) {
        std::fprintf(stderr, "tavix-room: cannot look for rooms: %s\n", qPrintable(why));
        status = 1;
        QCoreApplication::exit();
    });
    QTimer::singleShot(seconds * 1000, &browser, [] { QCoreApplication::exit(); });
    browser.start();
    QCoreApplication::exec();
    if (status != 0)
        return status;
    for (const FoundRoom &room : browser.rooms()) {
        const QString members = room.members < 0 ? QStringLiteral("-")
                                                 : QStringLiteral("%1/%2").arg(room.members).arg(room.size);
        std::printf("%s\t%u\t%s\t%s\t%s\n", qPrintable(room.address), unsigned(room.port),
                    qPrintable(room.name), qPrintable(members),
                    room.key.isEmpty() ? "-" : qPrintable(room.key));
    }
    return 0;
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
    preferLeanEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavix-room"));
    QCoreApplication::setApplicationVersion(RoomDefaults::ProductVersion);

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Hosts or joins a Tavix chat room without a window. Every event is printed\n"
        "as the window's log would show it, one line each. Each line read from\n"
        "standard input is said in the room. End of input leaves a joined room;\n"
        "a host keeps its room until interrupted (Ctrl-C or SIGTERM). A host names\n"
        "its port and the addresses others can join at on standard error.\n"
        "\n"
        "Every room is encrypted. A member keeps the key of each host it joined\n"
        "and refuses a host whose key has changed; 'forget' drops the kept key\n"
        "for an address (at one port with --port) so that the next join accepts\n"
        "the host's new one.\n"
        "\n"
        "A host announces its room on the local network through the system's\n"
        "mDNS responder (Avahi) unless --no-announce is given. 'rooms' looks for\n"
        "rooms a few seconds and prints one a line: address, port, name, members\n"
        "and the start of the host's key, separated by tabs.\n"
        "\n"
        "Exit status: 0 after a normal end, 1 when the room ended on a failure\n"
        "or 'rooms' found no responder to ask (the reason goes to standard\n"
        "error), 2 for bad arguments."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("TCP port, default %1 (0 hosts on any free port).").arg(RoomDefaults::Port),
        QStringLiteral("N"));
    const QCommandLineOption size(
        QStringLiteral("size"),
        QStringLiteral("Room size when hosting, 1-%1, default %2.").arg(Room::kMaxSize).arg(RoomDefaults::Size),
        QStringLiteral("N"));
    const QCommandLineOption name(
        QStringLiteral("name"),
        QStringLiteral("Display name, default %1.").arg(RoomText::fallbackName()),
        QStringLiteral("NAME"));
    const Timeouts defaults;
    const QCommandLineOption handshake(
        QStringLiteral("handshake-ms"),
        QStringLiteral("Drop a connection whose handshake takes longer, default %1.")
            .arg(defaults.handshake.count()),
        QStringLiteral("MS"));
    const QCommandLineOption deadPeer(
        QStringLiteral("dead-peer-ms"),
        QStringLiteral("Drop a peer that is silent this long, default %1; also the stall bound unless "
                       "--stall-ms is given.")
            .arg(defaults.deadPeer.count()),
        QStringLiteral("MS"));
    const QCommandLineOption stall(
        QStringLiteral("stall-ms"),
        QStringLiteral("When hosting, drop a member that has kept the room waiting this long in all, "
                       "default %1.")
            .arg(defaults.stall.count()),
        QStringLiteral("MS"));
    const QCommandLineOption noAnnounce(QStringLiteral("no-announce"),
                                        QStringLiteral("Host without announcing the room on the local network."));
    const QCommandLineOption seconds(
        QStringLiteral("seconds"),
        QStringLiteral("How long 'rooms' looks for rooms, default %1.").arg(kDefaultSeconds),
        QStringLiteral("N"));
    parser.addOptions({help, port, size, name, handshake, deadPeer, stall, noAnnounce, seconds});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("host, join ADDRESS, rooms or forget ADDRESS."),
                                 QStringLiteral("host | join ADDRESS | rooms | forget ADDRESS"));

    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        const QString text = parser.helpText();
        // Our two usage lines instead of the parser's one.
        const QByteArray rest = text.mid(text.indexOf(u'\n') + 1).toUtf8();
        std::fputs(kUsageLines, stdout);
        std::fputs(rest.constData(), stdout);
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("say 'host' or 'join ADDRESS'"));
    const QString command = args.first();
    QString bad;
    if (command == QLatin1String("forget")) {
        if (args.size() != 2)
            return usageError(QStringLiteral("'forget' takes one address"));
        const auto at = numberOption(parser, port, 1, kMaxPort, &bad);
        if (!bad.isEmpty())
            return usageError(bad);
        return forget(args.at(1), quint16(at.value_or(0)));
    }
    if (command == QLatin1String("rooms")) {
        if (args.size() != 1)
            return usageError(QStringLiteral("'rooms' takes no address"));
        const auto n = numberOption(parser, seconds, 1, kMaxSeconds, &bad);
        if (!bad.isEmpty())
            return usageError(bad);
        return listRooms(int(n.value_or(kDefaultSeconds)));
    }
    if (parser.isSet(seconds))
        return usageError(QStringLiteral("--seconds is for 'rooms'"));
    RoomConsole::Mode mode;
    if (command == QLatin1String("host") && args.size() == 1)
        mode = RoomConsole::Mode::Host;
    else if (command == QLatin1String("join") && args.size() == 2)
        mode = RoomConsole::Mode::Join;
    else if (command == QLatin1String("join"))
        return usageError(QStringLiteral("'join' takes one address"));
    else
        return usageError(QStringLiteral("unknown command '%1'").arg(args.join(u' ')));
    const bool hosting = mode == RoomConsole::Mode::Host;

    if (parser.isSet(size) && !hosting)
        return usageError(QStringLiteral("--size is for hosting"));
    if (parser.isSet(noAnnounce) && !hosting)
        return usageError(QStringLiteral("--no-announce is for hosting"));
    // A host may listen on any free port (0); a joiner needs a real one.
    const auto portNumber = numberOption(parser, port, hosting ? 0 : 1, kMaxPort, &bad);
    const auto sizeNumber = numberOption(parser, size, 1, Room::kMaxSize, &bad);
    const auto handshakeMs = numberOption(parser, handshake, 1, kMaxMs, &bad);
    const auto deadPeerMs = numberOption(parser, deadPeer, kShortestDeadPeerMs, kMaxMs, &bad);
    const auto stallMs = numberOption(parser, stall, kShortestDeadPeerMs, kMaxMs, &bad);
    if (!bad.isEmpty())
        return usageError(bad);

    using std::chrono::milliseconds;
    Room room;
    room.setPort(int(portNumber.value_or(RoomDefaults::Port)));
    room.setMaxMembers(int(sizeNumber.value_or(RoomDefaults::Size)));
    Timeouts timeouts;
    timeouts.handshake = milliseconds(handshakeMs.value_or(timeouts.handshake.count()));
    timeouts.deadPeer = milliseconds(deadPeerMs.value_or(timeouts.deadPeer.count()));
    timeouts.stall = milliseconds(stallMs.value_or(deadPeerMs.value_or(timeouts.stall.count())));
    room.setTimeouts(timeouts);
    room.setAnnounced(hosting && !parser.isSet(noAnnounce));
    QObject::connect(&room, &Room::notAnnounced, &room, [](const QString &why) {
        std::fprintf(stderr, "tavix-room: the room is not announced on the network: %s\n", qPrintable(why));
    });
    QString nameValue = parser.value(name);
    if (nameValue.isEmpty())
        nameValue = RoomText::fallbackName();
    if (room.setData(MemberKeys::Name, nameValue) != Room::SetResult::Stored)
        return usageError(QStringLiteral("--name is too long"));
    if (!hosting)
        room.setServerAddress(args.at(1));

    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return usageError(QStringLiteral("cannot set up signal handling"));
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

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
