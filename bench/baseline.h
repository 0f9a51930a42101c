#pragma once

#include "fanout.h"

#include <string>

namespace bench {

struct RoomFigures
{
    LatencyFigures closed;
    LatencyFigures paced;
    ThroughputFigures rates;
};

// Runs another build's tavix_bench (options.baselineBench) for its room alone
// at this size, and reads the room's column of the table it prints. That
// table has kept its shape since before TLS, so that any earlier revision
// can serve.
bool runBaselineRoom(const FanoutOptions &options, RoomFigures *figures, std::string *error);

} // namespace bench
