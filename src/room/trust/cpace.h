#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstddef>
#include <optional>

// CPace (draft-irtf-cfrg-cpace), the ristretto255 / SHA-512 suite, on
// libsodium's group operations: a password-authenticated key exchange in
// which each side proves it knows the passphrase without showing it, and
// whoever does not know it gets one guess per exchange and nothing to test
// offline. Used in the initiator-responder setting (the member initiates),
// with explicit key confirmation: each side sends a MAC over its own share.
namespace TAVIXLibCtl::Cpace {

inline constexpr qsizetype kShareBytes = 32;   // an encoded group element
inline constexpr qsizetype kScalarBytes = 32;
inline constexpr qsizetype kKeyBytes = 64;     // ISK, SHA-512
inline constexpr qsizetype kTagBytes = 64;     // HMAC-SHA-512

// Overwrites memory in a way the compiler may not leave out.
void wipe(void *data, std::size_t size);

// A buffer wiped when it goes, for what must not outlive its use.
template <std::size_t N>
class Secret
{
public:
    Secret() = default;
    ~Secret() { wipe(m_bytes.data(), N); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    unsigned char *data() { return m_bytes.data(); }
    const unsigned char *data() const { return m_bytes.data(); }
    static constexpr std::size_t size() { return N; }

private:
    std::array<unsigned char, N> m_bytes{};
};

// The pieces the draft's test vectors pin, one by one.
QByteArray prependLength(QByteArrayView bytes);
QByteArray generatorString(QByteArrayView dsi, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);
// The generator for `prs`, `ci` and `sid`, encoded; empty on failure.
QByteArray generator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);

// One side of one exchange. The passphrase bytes are hashed at once into the
// generator and not kept.
class Exchange
{
public:
    enum class Role { Initiator, Responder };

    // `scalar` is for tests that replay the draft's vectors; otherwise a
    // fresh one is drawn.
    // `ada` and `adb` are the initiator's and the responder's associated
    // data, which both sides know.
    Exchange(Role role, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid, QByteArrayView ada,
             QByteArrayView adb, QByteArrayView scalar = {});
    ~Exchange();
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    // Y = y * g, to send; empty when the exchange could not start.
    QByteArray share() const { return m_share; }
    // Takes the other side's share; false when it is not a valid element
    // or gives the neutral element, and then the exchange must be dropped.
    bool receive(QByteArrayView peerShare);
    // The intermediate session key, once receive() succeeded (tests only:
    // nothing else needs it outside).
    QByteArray sessionKey() const;
    // This side's confirmation, and a check of the other's.
    QByteArray confirmation() const;
    bool confirms(QByteArrayView peerTag) const;

private:
    QByteArray tagOver(QByteArrayView share, QByteArrayView ad) const;

    const Role m_role;
    const QByteArray m_sid;
    const QByteArray m_ownAd;
    const QByteArray m_peerAd;
    QByteArray m_share;
    QByteArray m_peerShare;
    Secret<kScalarBytes> m_scalar;
    Secret<kKeyBytes> m_isk;
    Secret<kKeyBytes> m_macKey;
    bool m_keyed = false;
};

} // namespace TAVIXLibCtl::Cpace
