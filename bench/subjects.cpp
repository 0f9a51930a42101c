#include "subjects.h"

#include "memberkeys.h"
#include "room.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

using namespace std::chrono_literals;
using TAVIXLibCtl::Room;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;

namespace bench {

namespace {

// The host keeps at most 32 connections waiting for their handshake; join in
// smaller waves so that none of ours is dropped as a flood.
constexpr int kJoinWave = 16;
constexpr auto kJoinTimeout = 20s;

void stopProcess(QProcess *process)
{
    process->closeWriteChannel(); // a member leaves, the floor's relay stops
    if (!process->waitForFinished(3000)) {
        process->terminate(); // a host closes its room
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    delete process;
}

template <typename... Args>
std::string command(const char *format, Args... args)
{
    char text[96];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

} // namespace

// ---- the room ----

bool RoomSubject::start(int members, int threads)
{
    // In this process the host receives too, on a thread of its own.
    prepare(members, threads, m_room ? members : members + 1);
    m_hostLoop = std::make_unique<LoopThread>("room-host");
    for (int t = 0; t < threads; ++t)
        m_memberLoops.push_back(std::make_unique<LoopThread>("room-members"));
    return m_room ? startProcesses(members) : startRooms(members);
}

void RoomSubject::attach(Room *room, int log)
{
    auto changed = [this, room, log](int slot, const QString &key, const QString &value) {
        if (key == MemberKeys::Chat) {
            arrived(log, readLineId(value.utf16(), std::size_t(value.size())));
        } else if (key == MemberKeys::Presence && value == MemberKeys::Present && slot == room->ownSlot()) {
            std::lock_guard lock(m_mutex);
            ++m_joined;
            m_changed.notify_all();
        }
    };
    QObject::connect(room, &Room::dataChanged, room, changed);
    QObject::connect(room, &Room::disconnected, room, [this] { ++m_lost; });
}

bool RoomSubject::waitJoined(int count)
{
    std::unique_lock lock(m_mutex);
    if (m_changed.wait_for(lock, kJoinTimeout, [&] { return m_joined >= count || m_lost > 0; }) && m_lost == 0)
        return true;
    error = "room did not form: " + std::to_string(m_joined) + " of " + std::to_string(count) + " members joined, "
            + std::to_string(m_lost.load()) + " sessions ended";
    return false;
}

bool RoomSubject::startRooms(int members)
{
    const int threads = int(m_memberLoops.size());
    m_members.assign(std::size_t(members), nullptr);
    quint16 port = 0;
    m_hostLoop->run([&] {
        m_host = new Room;
        m_host->setPort(0);
        m_host->setMaxMembers(members + 1);
        m_host->setData(MemberKeys::Name, QStringLiteral("host"));
        attach(m_host, threads);
        m_host->openServer();
        port = m_host->boundPort();
    });
    if (port == 0) {
        error = "host could not listen";
        return false;
    }
    if (!waitJoined(1))
        return false;
    for (int first = 0; first < members; first += kJoinWave) {
        const int last = std::min(members, first + kJoinWave);
        for (int m = first; m < last; ++m) {
            loopOf(m).run([&, m] {
                auto *room = new Room;
                room->setServerAddress(QStringLiteral("127.0.0.1"));
                room->setPort(port);
                room->setData(MemberKeys::Name, QStringLiteral("member%1").arg(m + 1));
                attach(room, m % threads);
                room->openClient();
                m_members[std::size_t(m)] = room;
            });
        }
        if (!waitJoined(1 + last))
            return false;
    }
    return true;
}

// Process `index` (0 the host, m + 1 member m) on its loop thread, which
// reads what it prints.
void RoomSubject::launch(int index, const QStringList &arguments, const QByteArray &ready)
{
    auto *process = new QProcess;
    m_processes[std::size_t(index)] = process;
    if (index > 0) {
        const int log = (index - 1) % int(m_memberLoops.size());
        auto pending = std::make_shared<QByteArray>(); // output not yet a whole line
        QObject::connect(process, &QProcess::readyReadStandardOutput, process, [this, process, pending, log] {
            *pending += process->readAllStandardOutput();
            qsizetype start = 0;
            for (qsizetype nl; (nl = pending->indexOf('\n', start)) >= 0; start = nl + 1) {
                const qsizetype text = pending->indexOf("> ", start);
                if (text >= 0 && text < nl)
                    arrived(log, readLineId(pending->constData() + text + 2, std::size_t(nl - text - 2)));
            }
            pending->remove(0, start);
        });
    } else {
        // The host prints every line too: read, untimed, and let go.
        QObject::connect(process, &QProcess::readyReadStandardOutput, process,
                         [process] { process->readAllStandardOutput(); });
    }
    auto said = std::make_shared<QByteArray>();
    QObject::connect(process, &QProcess::readyReadStandardError, process, [this, process, said, ready] {
        const bool before = said->contains(ready);
        *said += process->readAllStandardError();
        if (!before && said->contains(ready)) {
            static const QRegularExpression port(QStringLiteral("port (\\d+)"));
            std::lock_guard lock(m_mutex);
            m_port = m_port ? m_port : quint16(port.match(QString::fromUtf8(*said)).captured(1).toUInt());
            ++m_joined;
            m_changed.notify_all();
        }
    });
    QObject::connect(process, &QProcess::finished, process, [this] {
        if (!m_stopping)
            ++m_lost;
        m_changed.notify_all();
    });
    // Ends with the bench, however the bench ends.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"),
                       QCoreApplication::applicationDirPath() + QStringLiteral("/libtavix_alloccount.so"));
    environment.insert(QStringLiteral("TAVIX_ALLOC_COUNTER"), m_counters.filePath(QString::number(index)));
    process->setProcessEnvironment(environment);
    process->start(m_room->program, arguments);
}

bool RoomSubject::startProcesses(int members)
{
    m_processes.assign(std::size_t(members) + 1, nullptr);
    m_hostLoop->run([&] { launch(0, m_room->host, "port "); });
    if (!waitJoined(1))
        return false;
    const QString port = QString::number(m_port);
    for (int m = 0; m < members; ++m) {
        QStringList arguments = m_room->member;
        arguments.replaceInStrings(QStringLiteral("PORT"), port);
        arguments.replaceInStrings(QStringLiteral("NAME"), QStringLiteral("member%1").arg(m + 1));
        loopOf(m).run([&, m] { launch(m + 1, arguments, m_room->joined); });
        // One at a time, in slot order.
        if (!waitJoined(2 + m))
            return false;
    }
    return true;
}

void RoomSubject::post(int member, std::uint64_t id)
{
    loopOf(member).post([this, member, id] { run(member, id); });
}

void RoomSubject::say(int member, std::uint64_t id)
{
    if (m_room) {
        char line[kLineLength + 1];
        writeLine(line, id);
        line[kLineLength] = '\n';
        m_processes[std::size_t(member) + 1]->write(line, sizeof line);
        return;
    }
    QString line(kLineLength, Qt::Uninitialized);
    writeLine(reinterpret_cast<char16_t *>(line.data()), id);
    m_members[std::size_t(member)]->setData(MemberKeys::Chat, line);
}

std::int64_t RoomSubject::hostCpuNs() const
{
    if (m_room)
        return threadCpuNsOf(m_processes[0]->processId(), m_processes[0]->processId());
    return m_hostLoop->cpuNs();
}

std::int64_t RoomSubject::processCpuNs() const
{
    if (!m_room)
        return bench::processCpuNs();
    std::int64_t ns = 0;
    for (const QProcess *process : m_processes)
        ns += processCpuNsOf(process->processId());
    return ns;
}

std::vector<std::uint64_t> RoomSubject::allocations() const
{
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < m_processes.size(); ++i) {
        QFile file(m_counters.filePath(QString::number(i)));
        std::uint64_t count = 0;
        if (file.open(QIODevice::ReadOnly))
            file.read(reinterpret_cast<char *>(&count), sizeof count);
        counts.push_back(count);
    }
    return counts;
}

pid_t RoomSubject::relayThread() const
{
    if (m_room)
        return m_processes.empty() ? 0 : pid_t(m_processes[0]->processId());
    return m_hostLoop ? m_hostLoop->tid() : 0;
}

void RoomSubject::stop()
{
    if (!m_hostLoop)
        return;
    m_stopping = true;
    // Members leave first, so the host is not busy announcing departures.
    for (std::size_t m = 0; m < m_members.size(); ++m) {
        if (Room *room = m_members[m]) {
            loopOf(int(m)).run([room] {
                room->disconnect();
                delete room;
            });
        }
    }
    for (std::size_t m = 1; m < m_processes.size(); ++m) {
        if (QProcess *process = m_processes[m])
            loopOf(int(m) - 1).run([process] { stopProcess(process); });
    }
    m_hostLoop->run([this] {
        if (m_host)
            m_host->disconnect();
        delete m_host;
        if (!m_processes.empty() && m_processes[0])
            stopProcess(m_processes[0]);
    });
    m_host = nullptr;
    m_members.clear();
    m_processes.clear();
    m_memberLoops.clear();
    m_hostLoop.reset();
}

// ---- a floor ----

bool FloorSubject::start(int members, int threads)
{
    QStringList arguments{QStringLiteral("--members"), QString::number(members), QStringLiteral("--threads"),
                          QString::number(threads)};
    if (!m_identity.empty())
        arguments << QStringLiteral("--identity") << QString::fromStdString(m_identity);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavix_floor"), arguments);
    if (!m_process.waitForStarted(10000)) {
        error = "cannot start tavix_floor: " + m_process.errorString().toStdString();
        return false;
    }
    std::string ready;
    char cipher[64] = "";
    if (!ask({}, 60, &ready))
        return false;
    if (std::sscanf(ready.c_str(), "ready relay_tid=%d cipher=%63s", &m_relayTid, cipher) != 2) {
        error = "tavix_floor said: " + ready;
        return false;
    }
    m_cipher = cipher;
    return true;
}

bool FloorSubject::ask(const std::string &command, int timeoutSeconds, std::string *answer)
{
    if (!command.empty()) {
        m_process.write(QByteArray::fromStdString(command + "\n"));
        m_process.waitForBytesWritten(1000);
    }
    const QDeadlineTimer deadline(timeoutSeconds * 1000);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running) {
            error = m_process.state() == QProcess::Running ? "no answer in time" : "tavix_floor ended";
            return false;
        }
        m_process.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 1000)));
    }
    *answer = m_process.readLine().trimmed().toStdString();
    if (answer->rfind("error", 0) != 0)
        return true;
    error = answer->size() > 6 ? answer->substr(6) : *answer;
    return false;
}

template <typename Figures>
bool FloorSubject::phase(const std::string &command, int timeoutSeconds, Figures *figures)
{
    std::string answer;
    if (!ask(command, timeoutSeconds, &answer))
        return false;
    if (readAnswer(answer, figures, &m_broken))
        return true;
    error = "tavix_floor answered: " + answer;
    return false;
}

bool FloorSubject::closed(int count, LatencyFigures *figures)
{
    return phase(command(kClosedCommand, count), 120 + count / 100, figures);
}

bool FloorSubject::paced(int count, int paceMs, LatencyFigures *figures)
{
    return phase(command(kPacedCommand, count, paceMs), 120 + count * paceMs / 1000, figures);
}

bool FloorSubject::throughput(double seconds, int lines, int window, Rates *rates)
{
    return phase(command(kThroughputCommand, seconds, lines, window), 120 + int(seconds), rates);
}

void FloorSubject::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Its last answer counts the links lost; any earlier error stays.
    const std::string kept = error;
    std::string bye;
    if (ask("quit", 10, &bye))
        std::sscanf(bye.c_str(), "bye broken=%d", &m_broken);
    error = kept;
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

} // namespace bench
