// libFuzzer target for the wire codec. Each input is tried four ways: as one
// frame body, as the byte stream a peer sends (preamble, then frames, fed in
// three different splits), as the fields of a message to encode, and as UTF-16
// text to clean. A broken property aborts, which libFuzzer reports as a crash
// and saves the input.

#include "wirecodec.h"

#include <QList>
#include <QString>
#include <QStringDecoder>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace TAVIXLibCtl::Wire;

namespace {

constexpr qsizetype kHeader = 4; // the frame's length prefix
// Feeding one byte at a time costs a next() per byte; longer inputs skip it.
constexpr qsizetype kByteFeedLimit = 2048;
// What each read asks the stream for: all an input can hold (run.sh's
// -max_len). A link asks for 64 KiB, but a reader that large per input made
// the sanitizers map and unmap it each time, nine tenths of the run.
constexpr qint64 kAsked = 4096;

// A link's stream: it hands out what it has, up to what it is asked for, and
// 0 when it has nothing now.
struct Source
{
    QByteArrayView bytes;

    qint64 read(char *into, qint64 most)
    {
        const qsizetype n = qsizetype(qMin<qint64>(most, bytes.size()));
        if (n > 0)
            std::memcpy(into, bytes.data(), size_t(n));
        bytes = bytes.sliced(n);
        return n;
    }
};

[[noreturn]] void broken(const char *what, int line)
{
    std::fprintf(stderr, "fuzz_wire.cpp:%d: property broken: %s\n", line, what);
    std::abort();
}

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            broken(#cond, __LINE__);                                                               \
    } while (false)

// What cleanText must replace, judged on the text as received.
bool badAt(QStringView text, qsizetype i)
{
    const char16_t c = text[i].unicode();
    if (c < 0x20)
        return c != u'\t';
    if (c >= 0x7f && c <= 0x9f)
        return true;
    if (c == 0x2028 || c == 0x2029)
        return true;
    // Bidirectional embeddings, overrides and isolates.
    if ((c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069))
        return true;
    if (QChar::isHighSurrogate(c))
        return i + 1 == text.size() || !QChar::isLowSurrogate(text[i + 1].unicode());
    if (QChar::isLowSurrogate(c))
        return i == 0 || !QChar::isHighSurrogate(text[i - 1].unicode());
    return false;
}

void checkText(const QString &text)
{
    CHECK(text.size() <= kMaxText);
    for (qsizetype i = 0; i < text.size(); ++i)
        CHECK(!badAt(text, i));
    CHECK(cleanText(text) == text);
}

// Fields a type does not carry stay at their defaults, so == means the same message.
void checkMessage(const Message &m)
{
    const bool slotted = m.type == MessageType::Welcome || m.type == MessageType::Store
                         || m.type == MessageType::Arrive || m.type == MessageType::Update
                         || m.type == MessageType::Depart;
    const bool texts = m.type == MessageType::Set || m.type == MessageType::Store
                       || m.type == MessageType::Update;
    CHECK(m.type >= MessageType::Set && m.type <= MessageType::Confirm);
    CHECK(m.slot >= 0 && m.slot < kMaxRoomSize);
    CHECK(slotted || m.slot == 0);
    if (m.type == MessageType::Welcome)
        CHECK(m.size >= 1 && m.size <= kMaxRoomSize && m.slot < m.size);
    else
        CHECK(m.size == 0);
    if (m.type == MessageType::Refuse)
        CHECK(m.reason >= 0 && m.reason <= 255);
    else
        CHECK(m.reason == 0);
    if (m.type == MessageType::Join || m.type == MessageType::Welcome)
        CHECK(m.deadPeerMs >= 1 && m.deadPeerMs <= kMaxDeadPeerMs);
    else
        CHECK(m.deadPeerMs == 0);
    if (texts) {
        checkText(m.key);
        checkText(m.value);
    } else {
        CHECK(m.key.isEmpty() && m.value.isEmpty());
    }
    // The door's byte strings have exactly their sizes, or are absent.
    const bool hello = m.type == MessageType::Hello;
    CHECK(hello || !m.door);
    const qsizetype nonce = (hello && m.door) || m.type == MessageType::Knock ? kNonceBytes : 0;
    const qsizetype share = m.type == MessageType::Knock || m.type == MessageType::Answer ? kShareBytes : 0;
    const qsizetype tag = m.type == MessageType::Answer || m.type == MessageType::Confirm ? kTagBytes : 0;
    CHECK(m.nonce.size() == nonce && m.share.size() == share && m.tag.size() == tag);
}

// Anything that decodes re-encodes to one frame that decodes to the same message,
// and encoding is stable from then on.
void checkRoundTrip(const Message &m)
{
    const QByteArray frame = encode(m);
    CHECK(frame.size() > kHeader && frame.size() - kHeader <= kMaxFrame);
    CHECK(qFromBigEndian<quint32>(frame.constData()) == quint32(frame.size() - kHeader));

    FrameReader reader;
    reader.append(frame);
    QByteArrayView body;
    CHECK(reader.next(&body) == FrameReader::Result::Frame);
    const auto again = decode(body);
    CHECK(again.has_value());
    CHECK(*again == m);
    CHECK(encode(*again) == frame);
    CHECK(reader.next(&body) == FrameReader::Result::NeedMore);
    CHECK(reader.buffered() == 0);
}

void checkBody(QByteArrayView body)
{
    if (const auto m = decode(body)) {
        checkMessage(*m);
        checkRoundTrip(*m);
        // A message is one CBOR item: nothing may follow it, and no part of it is one.
        CHECK(!decode(body.toByteArray().append('\0')).has_value());
        CHECK(!decode(body.chopped(1)).has_value());
    }
}

// The other way round: a message built from the input, valid by construction,
// survives encoding and decoding.
void checkEncoding(QByteArrayView bytes)
{
    if (bytes.size() < 3)
        return;
    const auto byte = [&](qsizetype i) { return int(quint8(bytes[i])); };
    const QByteArrayView texts = bytes.sliced(3);
    // fromUtf8() would drop a leading U+FEFF, and with it the texts that start with one.
    const auto exactly = [](QByteArrayView utf8) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        return cleanText(decoder.decode(utf8));
    };
    const QString key = exactly(texts.first(texts.size() / 2));
    const QString value = exactly(texts.sliced(texts.size() / 2));

    Message m;
    m.type = MessageType(int(MessageType::Set) + byte(0) % int(MessageType::Confirm));
    // The door's byte strings, cut from the input to their sizes.
    const auto bytesOf = [&](qsizetype size) { return texts.toByteArray().leftJustified(size, '\x5a', true); };
    switch (m.type) {
    case MessageType::Ping:
    case MessageType::Bye:
        break;
    case MessageType::Join:
        m.deadPeerMs = 1 + (byte(1) << 8 | byte(2));
        break;
    case MessageType::Refuse:
        m.reason = byte(1);
        break;
    case MessageType::Arrive:
    case MessageType::Depart:
        m.slot = byte(1);
        break;
    case MessageType::Welcome:
        m.size = 1 + byte(2) % kMaxRoomSize;
        m.slot = byte(1) % m.size;
        m.deadPeerMs = deadPeerField(std::chrono::milliseconds(byte(1) * 20000 + byte(2)));
        break;
    case MessageType::Set:
        m.key = key;
        m.value = value;
        break;
    case MessageType::Store:
    case MessageType::Update:
        m.slot = byte(1);
        m.key = key;
        m.value = value;
        break;
    case MessageType::Hello:
        m = Message::hello(byte(1) % 2 ? bytesOf(kNonceBytes) : QByteArray());
        break;
    case MessageType::Knock:
        m = Message::knock(bytesOf(kNonceBytes), bytesOf(kShareBytes));
        break;
    case MessageType::Answer:
        m = Message::answer(bytesOf(kShareBytes), bytesOf(kTagBytes));
        break;
    case MessageType::Confirm:
        m = Message::confirm(bytesOf(kTagBytes));
        break;
    }
    checkMessage(m);
    checkRoundTrip(m);
}

PreambleStatus checkPreambleOf(QByteArrayView bytes)
{
    quint16 version = 0;
    const PreambleStatus status = checkPreamble(bytes, &version);
    const size_t seen = size_t(qMin<qsizetype>(bytes.size(), sizeof kMagic));
    if (seen > 0 && std::memcmp(bytes.data(), kMagic, seen) != 0) {
        CHECK(status == PreambleStatus::Stranger);
    } else if (bytes.size() < kPreambleSize) {
        CHECK(status == PreambleStatus::Incomplete);
    } else {
        const auto sent = qFromBigEndian<quint16>(bytes.data() + sizeof kMagic);
        CHECK(version == sent);
        CHECK(status == (sent == kVersion ? PreambleStatus::Match : PreambleStatus::OtherVersion));
        // A host also takes the version before.
        CHECK(checkPreamble(bytes, nullptr, kOldestMemberVersion)
              == (sent >= kOldestMemberVersion && sent <= kVersion ? PreambleStatus::Match
                                                                   : PreambleStatus::OtherVersion));
    }
    return status;
}

struct Outcome
{
    QList<QByteArray> bodies;
    bool error = false;
    qsizetype left = 0; // still buffered when the stream ran dry

    bool operator==(const Outcome &) const = default;
};

// Feeds the stream in pieces whose sizes nextPiece() picks, each read into the
// reader from a stream that has just that piece, and reads every frame after
// each piece as the links do, stopping at the first error as they do.
// Every result is checked against the frame at the reader's place in the stream.
template<typename NextPiece>
Outcome feed(QByteArrayView stream, NextPiece nextPiece)
{
    Outcome out;
    FrameReader reader;
    qsizetype pos = 0;      // appended so far
    qsizetype consumed = 0; // start of the frame the reader stands at
    while (pos < stream.size() && !out.error) {
        const qsizetype n = qMin(nextPiece(), stream.size() - pos);
        Source source{stream.sliced(pos, n)};
        CHECK(reader.appendFrom(&source, kAsked) == n);
        // A stream with nothing now adds nothing and keeps what is there.
        const qsizetype had = reader.buffered();
        CHECK(reader.appendFrom(&source, kAsked) == 0 && reader.buffered() == had);
        pos += n;
        // Never more than one frame at its cap plus what just came in.
        CHECK(reader.buffered() < kHeader + kMaxFrame + n);

        QList<QByteArrayView> views;
        QByteArrayView body;
        for (;;) {
            const auto result = reader.next(&body);
            const qsizetype have = pos - consumed;
            const quint32 length =
                have >= kHeader ? qFromBigEndian<quint32>(stream.data() + consumed) : 0;
            const bool lengthOk = length >= 1 && length <= quint32(kMaxFrame);
            if (result == FrameReader::Result::NeedMore) {
                // Waits only for a frame it will take, and for nothing it has.
                CHECK(reader.buffered() == have);
                CHECK(have < kHeader || (lengthOk && have < kHeader + qsizetype(length)));
                break;
            }
            if (result == FrameReader::Result::Error) {
                // Refused from the header alone, with nothing kept.
                CHECK(have >= kHeader && !lengthOk);
                out.error = true;
                CHECK(reader.buffered() == 0);
                CHECK(!reader.errorString().isEmpty());
                CHECK(reader.next(&body) == FrameReader::Result::Error);
                break;
            }
            CHECK(have >= kHeader + qsizetype(length) && lengthOk);
            CHECK(body == stream.sliced(consumed + kHeader, length));
            consumed += kHeader + length;
            views << body;
        }
        // Bodies stay valid until the next append, not only until the next next().
        for (QByteArrayView view : std::as_const(views))
            out.bodies << view.toByteArray();
        CHECK(out.error || reader.buffered() < kHeader + kMaxFrame);
    }
    out.left = reader.buffered();
    return out;
}

// Splits must not change what comes out: whole, pseudo-random pieces, single bytes.
void checkStream(QByteArrayView stream)
{
    const Outcome whole = feed(stream, [&] { return stream.size(); });

    quint32 state = 2166136261u; // FNV-1a of the input seeds the piece sizes
    for (char c : stream)
        state = (state ^ quint8(c)) * 16777619u;
    state |= 1;
    auto piece = [&]() -> qsizetype {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (state & 7) == 0 ? 1 + qsizetype(state >> 8) % 300 : 1 + qsizetype(state >> 8) % 16;
    };
    CHECK(feed(stream, piece) == whole);
    if (stream.size() <= kByteFeedLimit)
        CHECK(feed(stream, [] { return qsizetype(1); }) == whole);

    for (const QByteArray &body : whole.bodies)
        checkBody(body);
}

// The input as UTF-16: exactly the bad units become U+FFFD, nothing else moves.
void checkCleaning(QByteArrayView bytes)
{
    QString text(bytes.size() / 2, Qt::Uninitialized);
    if (!text.isEmpty())
        std::memcpy(text.data(), bytes.data(), size_t(text.size()) * sizeof(QChar));
    const QString clean = cleanText(text);
    CHECK(clean.size() == text.size());
    for (qsizetype i = 0; i < text.size(); ++i)
        CHECK(clean[i] == (badAt(text, i) ? QChar(QChar::ReplacementCharacter) : text[i]));
    for (qsizetype i = 0; i < clean.size(); ++i)
        CHECK(!badAt(clean, i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Nothing at all comes as a default view, null data included, as a caller
    // holding nothing would pass it.
    const QByteArrayView bytes = size == 0
        ? QByteArrayView()
        : QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size));
    checkBody(bytes);
    // A link reads the preamble first and frames after it.
    if (checkPreambleOf(bytes) == PreambleStatus::Match)
        checkStream(bytes.sliced(kPreambleSize));
    else
        checkStream(bytes);
    checkEncoding(bytes);
    checkCleaning(bytes);
    return 0;
}
