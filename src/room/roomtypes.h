#pragma once

#include "timeouts.h"

#include <QString>

#include <chrono>

namespace TAVIXLibCtl {

// Why a session ended, as the control reports it after Disconnected().
enum class EndReason {
    None,            // no session has ended yet
    Closed,          // CloseConnection()
    PortInUse,       // the port to host on is taken
    ListenFailed,    // hosting failed for another reason
    HostNotFound,    // the address did not resolve
    Refused,         // nothing listens at the address
    Unreachable,     // no route, or no answer to the connection attempt
    NoAnswer,        // connected, but the other side never finished the handshake
    RoomFull,        // the host turned us away: no free slot
    Busy,            // the host turned us away: too many others were joining at once
    OtherProtocol,   // the other side is not a room, or speaks another version
    HostLeft,        // the host closed the room
    ConnectionLost,  // the link broke or the other side stopped answering
    HostKeyChanged,  // the host shows another key than when we joined it before
    KnownHostsUnreadable, // the kept keys of hosts cannot be read: none vouches for the host
    NoTls,           // this Qt has no TLS backend
    KeyNotAsAnnounced, // the host's key does not start with the key its room announced
    PassphraseNeeded, // the room has a door and no passphrase was given
    PassphraseWrong,  // the passphrase given is not the room's
    PassphraseTryLater, // too many wrong passphrases from here: the host waits before the next
};

// One change to the room, in the order the host decided it.
struct RoomEvent {
    enum class Kind { Store, Arrive, Update, Depart };
    Kind kind = Kind::Store;
    int slot = 0;
    QString key;
    QString value;
};

} // namespace TAVIXLibCtl
