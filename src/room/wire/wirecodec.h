#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>

namespace TAVIXLibCtl::Wire {

// Where a room listens unless told otherwise.
inline constexpr quint16 kDefaultPort = 5120;
inline constexpr quint16 kVersion = 3;
// A host still takes members of this version into a room without a door:
// they speak as this one does, but for the door.
inline constexpr quint16 kOldestMemberVersion = 2;
inline constexpr char kMagic[4] = {'T', 'V', 'X', 'R'};
inline constexpr int kPreambleSize = 6;
// Two texts at their longest (3 UTF-8 bytes per UTF-16 unit) fit with room to spare.
inline constexpr qsizetype kMaxFrame = 256 * 1024;
// What a one-line text box holds.
inline constexpr qsizetype kMaxText = 32767;
// UTF-8 needs at most this many bytes for one UTF-16 code unit.
inline constexpr qsizetype kUtf8BytesPerUnit = 3;
inline constexpr int kMaxRoomSize = 256;
// The longest silence a side may ask the other to allow it: an hour.
inline constexpr int kMaxDeadPeerMs = 3'600'000;

enum class MessageType : quint8 {
    Set = 1,
    Join,
    Ping,
    Welcome,
    Refuse,
    Store,
    Arrive,
    Update,
    Depart,
    Bye,
    Hello,   // the host's first word: whether the room has a door
    Knock,   // the member's share of the passphrase exchange
    Answer,  // the host's share, and its confirmation
    Confirm, // the member's confirmation
};

enum class RefuseReason : quint8 {
    RoomFull = 1,
    OtherVersion = 2,
    Busy = 3,
    PassphraseNeeded = 4,
    PassphraseWrong = 5,
    TryLater = 6, // too many wrong passphrases from the member's address
};

// The passphrase exchange's fixed sizes on the wire.
inline constexpr qsizetype kNonceBytes = 16;
inline constexpr qsizetype kShareBytes = 32;
inline constexpr qsizetype kTagBytes = 64;

struct Message
{
    MessageType type = MessageType::Ping;
    int slot = 0;   // Welcome, Store, Arrive, Update, Depart
    int size = 0;   // Welcome
    int reason = 0; // Refuse
    // Join, Welcome: the sender drops a peer silent this long, so the other
    // side pings often enough for it.
    int deadPeerMs = 0;
    QString key{};  // Set, Store, Update
    QString value{}; // Set, Store, Update
    bool door = false; // Hello
    QByteArray nonce{}; // Hello (with a door), Knock
    QByteArray share{}; // Knock, Answer
    QByteArray tag{};   // Answer, Confirm

    bool operator==(const Message &) const = default;

    static Message set(const QString &key, const QString &value)
    {
        return {.type = MessageType::Set, .key = key, .value = value};
    }
    static Message join(int deadPeerMs)
    {
        return {.type = MessageType::Join, .deadPeerMs = deadPeerMs};
    }
    static Message ping() { return {.type = MessageType::Ping}; }
    static Message welcome(int slot, int size, int deadPeerMs)
    {
        return {.type = MessageType::Welcome, .slot = slot, .size = size, .deadPeerMs = deadPeerMs};
    }
    static Message refuse(RefuseReason reason)
    {
        return {.type = MessageType::Refuse, .reason = int(reason)};
    }
    static Message store(int slot, const QString &key, const QString &value)
    {
        return {.type = MessageType::Store, .slot = slot, .key = key, .value = value};
    }
    static Message arrive(int slot) { return {.type = MessageType::Arrive, .slot = slot}; }
    static Message update(int slot, const QString &key, const QString &value)
    {
        return {.type = MessageType::Update, .slot = slot, .key = key, .value = value};
    }
    static Message depart(int slot) { return {.type = MessageType::Depart, .slot = slot}; }
    static Message bye() { return {.type = MessageType::Bye}; }
    static Message hello(const QByteArray &nonce)
    {
        return {.type = MessageType::Hello, .door = !nonce.isEmpty(), .nonce = nonce};
    }
    static Message knock(const QByteArray &nonce, const QByteArray &share)
    {
        return {.type = MessageType::Knock, .nonce = nonce, .share = share};
    }
    static Message answer(const QByteArray &share, const QByteArray &tag)
    {
        return {.type = MessageType::Answer, .share = share, .tag = tag};
    }
    static Message confirm(const QByteArray &tag) { return {.type = MessageType::Confirm, .tag = tag}; }
};

// A dead-peer bound as Join and Welcome carry it.
inline int deadPeerField(std::chrono::milliseconds bound)
{
    return int(std::clamp<qint64>(bound.count(), 1, kMaxDeadPeerMs));
}

QByteArray preamble(quint16 version = kVersion);

enum class PreambleStatus { Incomplete, Match, OtherVersion, Stranger };
// Judges the bytes read so far; a stranger is told apart at its first wrong
// byte. A version from `oldest` to kVersion matches.
PreambleStatus checkPreamble(QByteArrayView bytes, quint16 *version = nullptr, quint16 oldest = kVersion);

// A whole frame, length prefix included.
QByteArray encode(const Message &message);
// One frame's body; nullopt when it is not a well-formed message. A key
// that is one of `knownKeys` (ASCII, shorter than 24 characters) comes back
// as that very string, sharing its text: the keys every line carries cost
// nothing to decode.
std::optional<Message> decode(QByteArrayView body, std::span<const QString> knownKeys = {});

// Replaces by U+FFFD what could break or disguise a log line: control
// characters other than tab, line and paragraph separators, the controls that
// reorder bidirectional text, and unpaired surrogates. Returns the text
// itself when clean.
QString cleanText(const QString &text);
// Removes the invisible format characters (Unicode's category Cf: zero-width
// spaces and joiners, direction marks, byte order marks, word joiners, tags)
// that make two names that read alike differ, or hide text in one; a
// zero-width joiner between two pictographs, which makes them one emoji,
// stays. For names: of rooms, and of members as they enter a room.
QString withoutFormatCharacters(const QString &text);

// Splits a byte stream into frame bodies. The length is checked as soon as the
// header is complete, before any of the body is kept.
class FrameReader
{
public:
    enum class Result { NeedMore, Frame, Error };

    // Bytes that are not in a device: streams that tests and the fuzz target
    // split at every byte.
    void append(QByteArrayView bytes);
    // Reads up to `most` bytes from `source`, anything with QIODevice's
    // read(char *, qint64), straight into the buffer; returns what read() did.
    template <typename Source>
    qint64 appendFrom(Source *source, qint64 most)
    {
        if (!makeRoom() || most <= 0)
            return 0;
        const qsizetype had = m_buffer.size();
        m_buffer.resize(had + qsizetype(most));
        const qint64 got = source->read(m_buffer.data() + had, most);
        m_buffer.resize(had + qsizetype(qMax<qint64>(got, 0)));
        return got;
    }
    // A frame's body stays valid until the next append() or appendFrom().
    Result next(QByteArrayView *body);
    qsizetype buffered() const { return m_buffer.size() - m_start; }
    QString errorString() const { return m_error; }

private:
    // False for a broken stream, which is not read on.
    bool makeRoom();

    QByteArray m_buffer;
    qsizetype m_start = 0;
    QString m_error;
};

} // namespace TAVIXLibCtl::Wire
