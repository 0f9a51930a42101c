#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>

#include <chrono>

// A room's door: what binds the passphrase exchange to one connection, and
// how a host slows down whoever guesses.
namespace TAVIXLibCtl::RoomDoor {

// The fresh randomness each side brings to an exchange.
inline constexpr qsizetype kNonceBytes = 16;

// Each side's associated data: the member initiates, the host responds.
inline const QByteArray kMemberData = QByteArrayLiteral("member");
inline const QByteArray kHostData = QByteArrayLiteral("host");

// The channel identifier: the host's key as this side sees it, so that a
// relay that shows its own key derives another key than the host.
QByteArray channel(const QByteArray &hostFingerprint);
// The session id: fresh randomness from both sides.
QByteArray session(const QByteArray &hostNonce, const QByteArray &memberNonce);
QByteArray nonce();

// Counts wrong passphrases per source (an IPv4 address, an IPv6 /64) and
// bounds the exchanges of all sources together. After kFreeFailures from a
// source, its next attempt waits a second, and each failure after that
// doubles the wait, up to kLongestWait; a right passphrase clears its count.
// In all, once kPerSecond failures have come within a second, every source
// waits its turn, so that failures never cost the host more than a small
// share of a core; right passphrases cost nothing of that share. A source not heard of for
// kMemory is forgotten; at most kSources are kept, the quietest going first.
class GuessLimit
{
public:
    using Duration = std::chrono::milliseconds;
    static constexpr int kFreeFailures = 3;
    static constexpr Duration kLongestWait{60'000};
    static constexpr int kPerSecond = 20;
    static constexpr Duration kMemory{3'600'000};
    static constexpr int kSources = 4096;

    // How long `address` has yet to wait, at `now`; zero when it may try.
    Duration tryAt(const QHostAddress &address, Duration now);
    void failed(const QHostAddress &address, Duration now);
    void succeeded(const QHostAddress &address);

private:
    struct Source
    {
        int failures = 0;
        Duration lastFailure{};
    };
    static QString sourceOf(const QHostAddress &address);
    Duration waitOf(const Source &source, Duration now) const;
    void refill(Duration now);

    QHash<QString, Source> m_sources;
    double m_budget = kPerSecond;
    Duration m_budgetAt{};
};

} // namespace TAVIXLibCtl::RoomDoor
