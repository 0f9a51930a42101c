#pragma once

#include <chrono>

namespace TAVIXLibCtl {

// Settable so that tests need not wait for the real bounds.
struct Timeouts {
    std::chrono::milliseconds handshake{10'000}; // connect + handshake, per address
    std::chrono::milliseconds deadPeer{15'000};  // silence after which a peer is gone
    std::chrono::milliseconds stall{5'000};      // a member whose queue stays congested this long is dropped
    std::chrono::milliseconds join{1'000};       // a host's bound from encryption to the request to join
};

} // namespace TAVIXLibCtl
