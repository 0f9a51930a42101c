#include "roomconsole.h"

#include "eventloop.h"
#include "cpace.h"
#include "knownhosts.h"
#include "memberkeys.h"
#include "passphrase.h"
#include "roombrowser.h"
#include "roomconfig.h"
#include "roomdefaults.h"
#include "roomtext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
    "Usage: tavix-room host [--port N] [--size N] [--name NAME] [--passphrase-file FILE] [--no-announce]\n"
    "       tavix-room join ADDRESS [--port N] [--name NAME] [--passphrase-file FILE]\n"
    "       tavix-room join --room NAME [--name NAME] [--passphrase-file FILE]\n"
    "       tavix-room rooms [--seconds N]\n"
    "       tavix-room forget ADDRESS [--port N]\n"
    "\n";

int usageError(const QString &message)
{
    std::fprintf(stderr, "tavix-room: %s\nTry 'tavix-room --help'.\n", qPrintable(message));
    return kUsageError;
}

// Every option, and the parser that reads them.
struct CommandLine
{
    CommandLine();
    // The number given for `option`, if it was given and lies within
    // min..max; the first that does not is kept in `bad`.
    std::optional<long> number(const QCommandLineOption &option, long min, long max);
    int printHelp() const;

    QCommandLineParser parser;
    QString bad;
    const Timeouts defaults;
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")};
    const QCommandLineOption port{
        QStringLiteral("port"),
        QStringLiteral("TCP port, default %1 (0 hosts on any free port).").arg(RoomDefaults::Port),
        QStringLiteral("N")};
    const QCommandLineOption size{
        QStringLiteral("size"),
        QStringLiteral("Room size when hosting, 1-%1, default %2.").arg(Room::kMaxSize).arg(RoomDefaults::Size),
        QStringLiteral("N")};
    const QCommandLineOption name{QStringLiteral("name"),
                                  QStringLiteral("Display name, default %1.").arg(RoomText::fallbackName()),
                                  QStringLiteral("NAME")};
    const QCommandLineOption handshake{
        QStringLiteral("handshake-ms"),
        QStringLiteral("Drop a connection whose handshake takes longer, default %1.").arg(defaults.handshake.count()),
        QStringLiteral("MS")};
    const QCommandLineOption deadPeer{
        QStringLiteral("dead-peer-ms"),
        QStringLiteral("Drop a peer that is silent this long, default %1; also the stall bound unless "
                       "--stall-ms is given.")
            .arg(defaults.deadPeer.count()),
        QStringLiteral("MS")};
    const QCommandLineOption stall{
        QStringLiteral("stall-ms"),
        QStringLiteral("When hosting, drop a member that has kept the room waiting this long in all, "
                       "default %1.")
            .arg(defaults.stall.count()),
        QStringLiteral("MS")};
    const QCommandLineOption join{
        QStringLiteral("join-ms"),
        QStringLiteral("When hosting, drop a connection that has not asked to join this long after its "
                       "encryption is up, default %1.")
            .arg(defaults.join.count()),
        QStringLiteral("MS")};
    const QCommandLineOption passphraseFile{
        QStringLiteral("passphrase-file"),
        QStringLiteral("Host a room with this passphrase as its door, or offer it when joining: the first "
                       "line of FILE, or of standard input for -, which the room then reads on from."),
        QStringLiteral("FILE")};
    const QCommandLineOption noAnnounce{QStringLiteral("no-announce"),
                                        QStringLiteral("Host without announcing the room on the local network.")};
    const QCommandLineOption room{
        QStringLiteral("room"),
        QStringLiteral("With 'join': the room of this name as 'rooms' prints it, at its address and port, "
                       "refusing a host that does not show the key the room announced."),
        QStringLiteral("NAME")};
    const QCommandLineOption seconds{
        QStringLiteral("seconds"),
        QStringLiteral("How long 'rooms' and 'join --room' look for rooms, default until the "
                       "responder has told all it knows, at most %1.").arg(kDefaultSeconds),
        QStringLiteral("N")};
};

CommandLine::CommandLine()
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Hosts or joins a Tavix chat room without a window. Every event is printed\n"
        "as the window's log would show it, one line each. Each line read from\n"
        "standard input is said in the room. End of input leaves a joined room\n"
        "once the host has relayed every line read; a host keeps its room until\n"
        "interrupted (Ctrl-C or SIGTERM). A host names its port and the addresses\n"
        "others can join at on standard error.\n"
        "\n"
        "Every room is encrypted. A member keeps the key of each host it joined\n"
        "and refuses a host whose key has changed; 'forget' drops the kept key\n"
        "for an address (at one port with --port) so that the next join accepts\n"
        "the host's new one.\n"
        "\n"
        "A host announces its room on the local network through the system's\n"
        "mDNS responder (Avahi) unless --no-announce is given. 'rooms' looks for\n"
        "rooms until the responder has told all it knows (--seconds N: N seconds)\n"
        "and prints one a line: address, port, name, members, the start of the\n"
        "host's key and its marks (lookalike: another name reads the same; full;\n"
        "door: joining takes a passphrase; joined-before: a host joined before\n"
        "at that address and port showed that key), separated by tabs. 'join\n"
        "--room NAME' joins the room of that name, only if its host shows the\n"
        "key the room announced.\n"
        "\n"
        "A room may have a door: --passphrase-file FILE hosts it with the first\n"
        "line of FILE as its passphrase, or offers that line when joining (- for\n"
        "standard input, whose further lines are then said in the room). Host\n"
        "and member prove to each other that they know it without showing it.\n"
        "\n"
        "Exit status: 0 after a normal end, 1 when the room ended on a failure,\n"
        "'rooms' found no responder to ask or 'join --room' not exactly one\n"
        "room of that name (the reason goes to standard error), 2 for bad\n"
        "arguments."));
    parser.addOptions({help, port, size, name, handshake, deadPeer, stall, join, passphraseFile, noAnnounce, room,
                       seconds});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("host, join ADDRESS, join --room NAME, rooms or forget ADDRESS."),
                                 QStringLiteral("host | join ADDRESS | rooms | forget ADDRESS"));
}

std::optional<long> CommandLine::number(const QCommandLineOption &option, long min, long max)
{
    if (!parser.isSet(option))
        return std::nullopt;
    bool ok = false;
    const long v = parser.value(option).toLong(&ok);
    if (ok && v >= min && v <= max)
        return v;
    if (bad.isEmpty())
        bad = QStringLiteral("--%1 must be a number from %2 to %3").arg(option.names().constLast()).arg(min).arg(max);
    return std::nullopt;
}

int CommandLine::printHelp() const
{
    // Our usage lines, one per command, instead of the parser's one.
    const QString text = parser.helpText();
    const QByteArray rest = text.mid(text.indexOf(u'\n') + 1).toUtf8();
    std::fputs(kUsageLines, stdout);
    std::fputs(rest.constData(), stdout);
    return 0;
}

// forget ADDRESS [--port N]: drops the kept key of a host, so that the next
// join accepts its new one.
int forgetHost(CommandLine &cl, const QStringList &args)
{
    if (args.size() != 2)
        return usageError(QStringLiteral("'forget' takes one address"));
    const auto port = cl.number(cl.port, 1, kMaxPort);
    if (!cl.bad.isEmpty())
        return usageError(cl.bad);
    const QString &address = args.at(1);
    QString error;
    const int forgotten = KnownHosts().forget(address, quint16(port.value_or(0)), &error);
    if (forgotten < 0) {
        std::fprintf(stderr, "tavix-room: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("tavix-room: forgot %d key%s for %s\n", forgotten, forgotten == 1 ? "" : "s",
                qPrintable(address));
    return 0;
}

// Looks for rooms until the daemon has told all it knows, or `seconds`;
// false, having said why, when there is no daemon to ask.
bool lookForRooms(RoomBrowser &browser, std::optional<long> seconds)
{
    bool asked = true;
    QObject::connect(&browser, &RoomBrowser::unavailable, &browser, [&](const QString &why) {
        std::fprintf(stderr, "tavix-room: cannot look for rooms: %s\n", qPrintable(why));
        asked = false;
        QCoreApplication::exit();
    });
    if (!seconds)
        QObject::connect(&browser, &RoomBrowser::settled, &browser, [] { QCoreApplication::exit(); });
    QTimer::singleShot(int(seconds.value_or(kDefaultSeconds)) * 1000, &browser, [] { QCoreApplication::exit(); });
    browser.start();
    QCoreApplication::exec();
    return asked;
}

// What 'rooms' says of a room besides its fields, as words, or "-".
QString marks(const FoundRoom &room)
{
    QStringList words;
    if (room.alike)
        words << QStringLiteral("lookalike");
    if (room.full())
        words << QStringLiteral("full");
    if (room.door)
        words << QStringLiteral("door");
    if (room.joinedBefore)
        words << QStringLiteral("joined-before");
    return words.isEmpty() ? QStringLiteral("-") : words.join(u',');
}

// rooms [--seconds N]: prints the rooms announced on the local network after
// looking for them N seconds, or without N until the daemon has told all it
// knows, one a line: address, port, name, members, the host's key and the
// room's marks, by tabs.
int listRooms(CommandLine &cl, const QStringList &args)
{
    if (args.size() != 1)
        return usageError(QStringLiteral("'rooms' takes no address"));
    const auto seconds = cl.number(cl.seconds, 1, kMaxSeconds);
    if (!cl.bad.isEmpty())
        return usageError(cl.bad);
    RoomBrowser browser;
    if (!lookForRooms(browser, seconds))
        return 1;
    for (const FoundRoom &room : browser.rooms()) {
        const QString members = room.members < 0 ? QStringLiteral("-")
                                                 : QStringLiteral("%1/%2").arg(room.members).arg(room.size);
        std::printf("%s\t%u\t%s\t%s\t%s\t%s\n", qPrintable(room.address), unsigned(room.port),
                    qPrintable(room.name), qPrintable(members),
                    room.key.isEmpty() ? "-" : qPrintable(room.key), qPrintable(marks(room)));
    }
    return 0;
}

// The one room announced under `name` as 'rooms' prints it, with a key to
// hold its host to; nothing, having said why, when there is not exactly one.
std::optional<FoundRoom> findRoom(const QString &name, std::optional<long> seconds)
{
    RoomBrowser browser;
    if (!lookForRooms(browser, seconds))
        return std::nullopt;
    QList<FoundRoom> named;
    QStringList where;
    for (const FoundRoom &room : browser.rooms()) {
        if (room.name == name) {
            named << room;
            where << room.target();
        }
    }
    const QByteArray quoted = name.toLocal8Bit();
    if (named.isEmpty()) {
        std::fprintf(stderr, "tavix-room: no room named '%s' was found\n", quoted.constData());
    } else if (named.size() > 1) {
        std::fprintf(stderr, "tavix-room: %d rooms are named '%s' (at %s); join one by its address\n",
                     int(named.size()), quoted.constData(), qPrintable(where.join(QStringLiteral(", "))));
    } else if (named.first().key.isEmpty()) {
        std::fprintf(stderr, "tavix-room: the room '%s' announced no key to hold its host to; join it by "
                             "its address if you trust it\n", quoted.constData());
    } else {
        if (named.first().alike)
            std::fprintf(stderr, "tavix-room: another room's name reads like '%s'\n", quoted.constData());
        return named.first();
    }
    return std::nullopt;
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

// Runs the room from standard input until it ends; an interrupt leaves it.
int runRoom(Room &room, RoomConsole::Mode mode)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return usageError(QStringLiteral("cannot set up signal handling"));
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    RoomConsole console(mode, &room);
    QObject::connect(&console, &RoomConsole::finished, &room,
                     [&] { QCoreApplication::exit(console.exitCode()); }, Qt::QueuedConnection);
    QSocketNotifier interrupts(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &console, [&] {
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        console.leave();
    });
    console.start();
    return QCoreApplication::exec();
}

// The first line of `path`, or of standard input for "-", read a byte at a
// time so that nothing after it is taken from the room's input. Never on
// the command line, where ps shows it; wiped once made a passphrase.
std::optional<Passphrase> readPassphrase(const QString &path, QString *error)
{
    constexpr qsizetype kLongest = 4096;
    const int fd = path == u"-" ? STDIN_FILENO : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(errno);
        return std::nullopt;
    }
    QByteArray line;
    char byte = 0;
    ssize_t got = 0;
    while (line.size() < kLongest && (got = ::read(fd, &byte, 1)) == 1 && byte != '\n')
        line += byte;
    const int readError = errno;
    if (fd != STDIN_FILENO)
        ::close(fd);
    const Passphrase passphrase = Passphrase::fromTyped(QString::fromUtf8(line));
    Cpace::wipe(line.data(), size_t(line.size()));
    if (got < 0) {
        *error = systemError(readError);
        return std::nullopt;
    }
    if (passphrase.isEmpty()) {
        *error = QStringLiteral("no passphrase on its first line");
        return std::nullopt;
    }
    return passphrase;
}

// host [--port N] [--size N] [--name NAME] [--no-announce] and
// join ADDRESS [--port N] [--name NAME], with the bounds of both.
int hostOrJoin(CommandLine &cl, const QStringList &args, RoomConsole::Mode mode)
{
    const bool hosting = mode == RoomConsole::Mode::Host;
    const bool byName = cl.parser.isSet(cl.room);
    if (hosting && args.size() != 1)
        return usageError(QStringLiteral("unknown command '%1'").arg(args.join(u' ')));
    if (hosting && byName)
        return usageError(QStringLiteral("--room is for 'join'"));
    if (!hosting && args.size() != (byName ? 1 : 2))
        return usageError(QStringLiteral("'join' takes one address, or --room NAME"));
    if (byName && cl.parser.isSet(cl.port))
        return usageError(QStringLiteral("--port is for 'join ADDRESS': a room found joins at its own"));
    if (cl.parser.isSet(cl.seconds) && !byName)
        return usageError(QStringLiteral("--seconds is for 'rooms' and 'join --room'"));
    if (cl.parser.isSet(cl.size) && !hosting)
        return usageError(QStringLiteral("--size is for hosting"));
    if (cl.parser.isSet(cl.noAnnounce) && !hosting)
        return usageError(QStringLiteral("--no-announce is for hosting"));
    // A host may listen on any free port (0); a joiner needs a real one.
    const auto port = cl.number(cl.port, hosting ? 0 : 1, kMaxPort);
    const auto size = cl.number(cl.size, 1, Room::kMaxSize);
    const auto handshakeMs = cl.number(cl.handshake, 1, kMaxMs);
    const auto deadPeerMs = cl.number(cl.deadPeer, kShortestDeadPeerMs, kMaxMs);
    const auto stallMs = cl.number(cl.stall, kShortestDeadPeerMs, kMaxMs);
    const auto seconds = cl.number(cl.seconds, 1, kMaxSeconds);
    const auto joinMs = cl.number(cl.join, 1, kMaxMs);
    if (!cl.bad.isEmpty())
        return usageError(cl.bad);

    using std::chrono::milliseconds;
    Room room;
    room.setPort(int(port.value_or(RoomDefaults::Port)));
    room.setMaxMembers(int(size.value_or(RoomDefaults::Size)));
    Timeouts timeouts;
    timeouts.handshake = milliseconds(handshakeMs.value_or(timeouts.handshake.count()));
    timeouts.deadPeer = milliseconds(deadPeerMs.value_or(timeouts.deadPeer.count()));
    timeouts.stall = milliseconds(stallMs.value_or(deadPeerMs.value_or(timeouts.stall.count())));
    timeouts.join = milliseconds(joinMs.value_or(timeouts.join.count()));
    room.setTimeouts(timeouts);
    room.setAnnounced(hosting && !cl.parser.isSet(cl.noAnnounce));
    QObject::connect(&room, &Room::notAnnounced, &room, [](const QString &why) {
        std::fprintf(stderr, "tavix-room: the room is not announced on the network: %s\n", qPrintable(why));
    });
    QString name = cl.parser.value(cl.name);
    if (name.isEmpty())
        name = RoomText::fallbackName();
    if (room.setData(MemberKeys::Name, name) != Room::SetResult::Stored)
        return usageError(QStringLiteral("--name is too long"));
    if (cl.parser.isSet(cl.passphraseFile)) {
        QString why;
        const auto passphrase = readPassphrase(cl.parser.value(cl.passphraseFile), &why);
        if (!passphrase)
            return usageError(QStringLiteral("cannot read a passphrase from %1: %2")
                                      .arg(cl.parser.value(cl.passphraseFile), why));
        if (hosting)
            room.setDoor(*passphrase);
        else
            room.offerPassphrase(*passphrase);
    }
    if (byName) {
        const std::optional<FoundRoom> found = findRoom(cl.parser.value(cl.room), seconds);
        if (!found)
            return 1;
        room.setServerAddress(found->target());
        room.expectHostKey(found->target(), found->key);
    } else if (!hosting) {
        room.setServerAddress(args.at(1));
    }
    return runRoom(room, mode);
}

} // namespace

int main(int argc, char *argv[])
{
    preferLeanEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavix-room"));
    QCoreApplication::setApplicationVersion(RoomDefaults::ProductVersion);

    CommandLine cl;
    if (!cl.parser.parse(app.arguments()))
        return usageError(cl.parser.errorText());
    if (cl.parser.isSet(cl.help))
        return cl.printHelp();
    const QStringList args = cl.parser.positionalArguments();
    const QString verb = args.value(0);
    if (verb == QLatin1String("host"))
        return hostOrJoin(cl, args, RoomConsole::Mode::Host);
    if (verb == QLatin1String("join"))
        return hostOrJoin(cl, args, RoomConsole::Mode::Join);
    if (verb == QLatin1String("rooms"))
        return listRooms(cl, args);
    if (verb == QLatin1String("forget"))
        return forgetHost(cl, args);
    if (args.isEmpty())
        return usageError(QStringLiteral("say 'host' or 'join ADDRESS'"));
    return usageError(QStringLiteral("unknown command '%1'").arg(args.join(u' ')));
}
