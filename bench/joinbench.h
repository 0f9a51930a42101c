#pragma once

namespace bench {

// Joining a room on loopback, `joins` times one after another: from
// openClient() until the member is Joined (TCP, TLS and the room's welcome).
bool runJoin(int joins);
// Making a host's key the first time: HostIdentity::loadOrCreate on an empty
// folder, `runs` times; and loading it again, as every later room does.
bool runKeyMaking(int runs);

} // namespace bench
