#pragma once

#include "latency.h"

#include <cstdint>
#include <string>

namespace bench {

struct FanoutOptions
{
    int members = 4;
    int threads = 4;  // member threads; the host has one more of its own
    int warmup = 1000;
    int lines = 20000;
    int paced = 1000; // 0 skips the paced run
    int paceMs = 50;
    double seconds = 5; // throughput window, after one second of warm-up
    int window = 32;    // own lines in flight per member
    // At this size also: system calls per line, and the baseline's room.
    bool extras = true;
    int syscallLines = 2000; // back to back under strace; 0 skips
    bool smoke = false; // throughput until a few hundred lines, no timed window
    bool withRoom = true;   // off to profile the floors alone
    bool withFloors = true; // off to profile the room alone
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

struct ThroughputFigures
{
    double lines = 0;         // lines per second delivered to every receiver
    double deliveries = 0;    // lines x receivers per second
    double hostCore = 0;      // host (relay) thread CPU as a share of one core
    double hostNsPerLine = 0; // host (relay) thread CPU per fully delivered line
    double processCore = 0;   // the whole process of the subject
    double processNsPerLine = 0;

    static ThroughputFigures from(double lines, double seconds, double hostCpuNs, double processCpuNs,
                                  int receivers);
};

// The room beside the floors at one room size.
bool runFanout(const FanoutOptions &options);

} // namespace bench
