#pragma once

// The items tavix_bench runs (main.cpp), each printing its own figures.

#include <QHostAddress>
#include <QList>
#include <QString>

#include <string>

namespace bench {

struct FanoutOptions
{
    int members = 4;
    int threads = 4; // member threads; the host has one more of its own
    int warmup = 1000;
    int lines = 20000;
    int paced = 1000; // 0 skips the paced run
    int paceMs = 50;
    double seconds = 5; // throughput window, after one second of warm-up
    int window = 32;    // own lines in flight per member
    // At this size also: system calls per line, and the baseline's room.
    bool extras = true;
    int syscallLines = 2000; // back to back under strace; 0 skips
    bool smoke = false;      // throughput until a few hundred lines, no timed window
    bool room = true, tls = true, plain = true; // the subjects
    // Another build's tavix_bench whose room runs the same fan-out in this
    // run, e.g. the room before TLS; empty for none.
    std::string baselineBench;
    std::string baselineLabel;
    // Through processes instead: tavix-room at roomTool beside the floor's
    // relay and clients, and the baseline's tavix-room when given.
    bool processes = false;
    std::string roomTool;
    std::string baselineTool;
};

// The room beside the floors at one room size (fanout.cpp).
bool runFanout(const FanoutOptions &options);

// Sockets that crowd the host while members join: how many, from where, to
// which address; none by default.
struct Crowding
{
    int sockets = 0;
    QList<QHostAddress> from;
    QHostAddress to = QHostAddress::LocalHost;
    QString label;
};
inline constexpr int kCrowdAddresses = 99;
// Joining a room on loopback, `joins` times one after another: from
// openClient() until the member is Joined (TCP, TLS and the room's welcome).
// With a crowd, every join is counted and the run goes on past a failure.
// With a `door`, the room has that passphrase and every member gives it.
bool runJoin(int joins, const Crowding &crowding = {}, const QString &door = {});
// Moves this process into a network of its own where fd7a:7a::1 to ::64
// (hex) are local, on its loopback. Needs root; false with `why` otherwise.
bool crowdFromManyAddresses(QString *why);
// Making a host's key the first time: HostIdentity::loadOrCreate on an empty
// folder, `runs` times; and loading it again, as every later room does.
bool runKeyMaking(int runs);

// AddChat of `lines` 40-character lines into the window's log, offscreen.
// Needs a QApplication.
bool runLog(int lines);
// The same with an event-loop turn after every line, then until the newest
// line is shown.
bool runLogTurns(int lines);
// Process start to first paint of the window, through tavix_window_probe,
// and its resident memory idle and after `lines` log lines: offscreen, then
// on X11 under an Xvfb of its own (not in smoke mode).
bool runStartup(int runs, int lines, bool smoke);
// CPU time of a window sitting idle in a room.
bool runIdle(int seconds);
// The memory of a window in a room where another member renames itself as
// fast as its link takes it, for `seconds`.
bool runRenameFlood(int seconds);
// How long a member that stops reading holds up a room that a member floods
// with lines, at the default stall bound: `runs` times.
bool runStall(int runs);

} // namespace bench
