// Wire protocol, version 3.
//
// Each side opens with a preamble, the member at once, the host once it has
// read the member's:
//
//     preamble := "TVXR" version:uint16be
//
// A side that reads another magic closes at once. A host that reads another
// version answers with its own preamble and REFUSE(2), then closes; the joiner
// knows from the host's preamble alone. A host takes a member of version 2
// into a room without a door: it answers in version 2, which has no HELLO and
// no door, and is otherwise this grammar.
//
// Then both directions carry frames:
//
//     frame := length:uint32be body            ; 1 <= length <= 256 KiB
//     body  := CBOR array of definite length, the type first
//
//   member -> host
//     [1 SET,     key:text, value:text]   ; before JOIN: the values it joins with
//     [2 JOIN,    dead:uint]              ; asks for a slot
//     [3 PING]                            ; heartbeat, both directions
//     [12 KNOCK,  nonce:bytes(16), share:bytes(32)]
//     [14 CONFIRM, tag:bytes(64)]
//   host -> member
//     [11 HELLO,  door:uint, nonce:bytes]  ; first, right after the preamble: 0 and
//                                         ; no nonce for an open room, 1 and 16
//                                         ; bytes for a room with a door
//     [13 ANSWER, share:bytes(32), tag:bytes(64)]
//     [4 WELCOME, slot:uint, size:uint, dead:uint]
//                                         ; you hold `slot` in a room of `size`
//     [5 REFUSE,  reason:uint]            ; 1 room full, 2 other version, 3 busy
//                                         ; with other joiners, 4 passphrase
//                                         ; needed, 5 wrong, 6 too many wrong
//                                         ; from this address; then close
//     [6 STORE,   slot, key, value]       ; silent copy: snapshot, newcomer's values
//     [7 ARRIVE,  slot]                   ; slot holds a member from now on
//     [8 UPDATE,  slot, key, value]       ; a member changed a value
//     [9 DEPART,  slot]                   ; slot's member left, its values are gone
//     [10 BYE]                            ; the host closes the room; then close
//
// A member waits for HELLO before it says anything of the room. At a door it
// runs CPace (cpace.h) with the host: KNOCK, ANSWER, CONFIRM, each side's tag
// checked before it goes on; a member sends its values and JOIN only after a
// good ANSWER, a host reads them only after a good CONFIRM.
//
// `dead` is how long, in milliseconds (1 to an hour), the sender lets the
// other side stay silent before it drops it; each side pings often enough for
// the other's bound as well as its own.
//
// Byte strings are definite and of exactly the size shown.
// Texts are UTF-8 of at most 32,767 UTF-16 code units, read as sent: a
// leading U+FEFF is part of the text. Control characters
// are replaced when decoded, so no peer can put a line break into a log or
// turn a line around.
// Anything else (length out of range, malformed CBOR, a wrong shape, an
// unknown type) is a protocol error and ends the link.

#include "wirecodec.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace TAVIXLibCtl::Wire {

namespace {

constexpr int kHeaderSize = 4;
// Type and reason travel as one byte's worth of number.
constexpr quint64 kMaxByte = 255;
// The longest message: the type and three fields.
constexpr int kMaxFields = 3;
// An encoded message beyond its texts: array, type, slot and text heads.
constexpr qsizetype kEncodingSlack = 16;
// CBOR's major types, as the top three bits of a head.
constexpr quint8 kUnsigned = 0;
constexpr quint8 kBytes = 2;
constexpr quint8 kText = 3;
constexpr quint8 kArray = 4;
// The argument of a text head that opens one in chunks, and what ends it.
constexpr quint8 kIndefinite = 31;
constexpr uchar kBreak = 0xff;
// A head with a 32-bit argument: enough for any text a frame holds.
constexpr qsizetype kTextHeadRoom = 5;

int fieldCount(MessageType type)
{
    switch (type) {
    case MessageType::Ping:
    case MessageType::Bye:
        return 0;
    case MessageType::Join:
    case MessageType::Refuse:
    case MessageType::Arrive:
    case MessageType::Depart:
    case MessageType::Confirm:
        return 1;
    case MessageType::Set:
    case MessageType::Hello:
    case MessageType::Knock:
    case MessageType::Answer:
        return 2;
    case MessageType::Welcome:
    case MessageType::Store:
    case MessageType::Update:
        return 3;
    }
    return -1;
}

// Writes a CBOR head in its shortest form, as QCborStreamWriter does;
// returns its length.
qsizetype writeHead(char *out, quint8 major, quint64 v)
{
    const auto type = char(major << 5);
    if (v < 24) {
        out[0] = char(type | char(v));
        return 1;
    }
    if (v <= 0xff) {
        out[0] = char(type | 24);
        out[1] = char(v);
        return 2;
    }
    if (v <= 0xffff) {
        out[0] = char(type | 25);
        qToBigEndian<quint16>(quint16(v), out + 1);
        return 3;
    }
    if (v <= 0xffffffff) {
        out[0] = char(type | 26);
        qToBigEndian<quint32>(quint32(v), out + 1);
        return 5;
    }
    out[0] = char(type | 27);
    qToBigEndian<quint64>(v, out + 1);
    return 9;
}

void appendHead(QByteArray &frame, quint8 major, quint64 v)
{
    char head[9];
    frame.append(head, writeHead(head, major, v));
}

// A definite text string: UTF-8 straight into the frame, behind room for its
// head, which is only known once the text is converted.
void appendText(QByteArray &frame, const QString &text)
{
    QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const qsizetype at = frame.size();
    frame.resize(at + kTextHeadRoom + utf8.requiredSpace(text.size()));
    char *const base = frame.data() + at;
    const qsizetype bytes = utf8.appendToBuffer(base + kTextHeadRoom, text) - (base + kTextHeadRoom);
    char head[9];
    const qsizetype headSize = writeHead(head, kText, quint64(bytes));
    std::memmove(base + headSize, base + kTextHeadRoom, size_t(bytes));
    std::memcpy(base, head, size_t(headSize));
    frame.resize(at + headSize + bytes);
}

void appendBytes(QByteArray &frame, const QByteArray &bytes)
{
    appendHead(frame, kBytes, quint64(bytes.size()));
    frame.append(bytes);
}

// Reads one frame body as the grammar above has it. CBOR allows a head in a
// longer form than it needs and a text in chunks; both are read as any CBOR
// reader would. Everything else this wire never carries (tags, negative
// numbers, floats, byte strings in chunks) fails where it stands.
class BodyReader
{
public:
    BodyReader(QByteArrayView body, std::span<const QString> knownKeys)
        : m_next(reinterpret_cast<const uchar *>(body.data())), m_end(m_next + body.size()), m_known(knownKeys)
    {
    }

    bool atEnd() const { return m_next == m_end; }

    // A head of `major` type with a definite argument.
    bool head(quint8 major, quint64 *value)
    {
        if (atEnd() || *m_next >> 5 != major)
            return false;
        const quint8 info = *m_next++ & 0x1f;
        if (info < 24) {
            *value = info;
            return true;
        }
        if (info > 27)
            return false; // reserved, or indefinite where a length is needed
        const qsizetype size = qsizetype(1) << (info - 24);
        if (m_end - m_next < size)
            return false;
        quint64 v = 0;
        for (qsizetype i = 0; i < size; ++i)
            v = (v << 8) | m_next[i];
        m_next += size;
        *value = v;
        return true;
    }

    // A definite byte string of exactly `size` bytes.
    bool bytes(qsizetype size, QByteArray *out)
    {
        quint64 length = 0;
        if (!head(kBytes, &length) || length != quint64(size) || quint64(m_end - m_next) < length)
            return false;
        *out = QByteArray(reinterpret_cast<const char *>(m_next), size);
        m_next += size;
        return true;
    }

    bool uint(quint64 max, int *out)
    {
        quint64 v = 0;
        if (!head(kUnsigned, &v) || v > max)
            return false;
        *out = int(v);
        return true;
    }

    // A known key comes as that key's string, with no copy of its own.
    bool key(QString *out)
    {
        for (const QString &known : m_known) {
            const qsizetype n = known.size(); // ASCII, shorter than 24: a one-byte head
            if (m_end - m_next < 1 + n || *m_next != ((kText << 5) | n))
                continue;
            if (!std::equal(m_next + 1, m_next + 1 + n, known.cbegin(),
                            [](uchar b, QChar c) { return b == c.unicode(); }))
                continue;
            m_next += 1 + n;
            *out = known;
            return true;
        }
        return text(out);
    }

    bool text(QString *out)
    {
        if (atEnd() || *m_next >> 5 != kText)
            return false;
        out->clear();
        bool printable = true;
        if ((*m_next & 0x1f) == kIndefinite) {
            ++m_next;
            while (!atEnd() && *m_next != kBreak) {
                if (!chunk(out, &printable))
                    return false;
            }
            if (atEnd())
                return false; // no break before the body ends
            ++m_next;
        } else if (!chunk(out, &printable)) {
            return false;
        }
        if (!printable) // printable ASCII is clean as it comes
            *out = cleanText(*out);
        return true;
    }

private:
    // One definite text, appended; checked as UTF-8 on its own. Clears
    // `printable` unless every byte is printable ASCII.
    bool chunk(QString *out, bool *printable)
    {
        quint64 length = 0;
        // A text longer than its worst case is refused unread.
        if (!head(kText, &length) || length > quint64(kUtf8BytesPerUnit * kMaxText)
            || length > quint64(m_end - m_next))
            return false;
        const auto bytes = QByteArrayView(m_next, qsizetype(length));
        m_next += length;
        // The lowest and highest byte, in a pass the compiler vectorises.
        uchar lowest = 0xff;
        uchar highest = 0;
        for (const char b : bytes) {
            lowest = std::min(lowest, uchar(b));
            highest = std::max(highest, uchar(b));
        }
        *printable = *printable && lowest >= 0x20 && highest < 0x7f;
        if (highest < 0x80) {
            out->append(QLatin1StringView(bytes));
        } else {
            // Stateless, as a CBOR reader decodes: a sequence cut at the
            // chunk's end is an error, not carried over. A leading U+FEFF is
            // part of the text, not a mark to drop.
            QStringDecoder utf8(QStringDecoder::Utf8,
                                QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
            out->append(utf8.decode(bytes));
            if (utf8.hasError())
                return false; // protocol error: invalid UTF-8
        }
        return out->size() <= kMaxText;
    }

    const uchar *m_next;
    const uchar *const m_end;
    const std::span<const QString> m_known;
};

} // namespace

QByteArray preamble(quint16 version)
{
    QByteArray bytes(kMagic, sizeof kMagic);
    const quint16 be = qToBigEndian(version);
    bytes.append(reinterpret_cast<const char *>(&be), sizeof be);
    return bytes;
}

PreambleStatus checkPreamble(QByteArrayView bytes, quint16 *version, quint16 oldest)
{
    // memcmp must not see an empty view's null pointer.
    const qsizetype n = qMin<qsizetype>(bytes.size(), sizeof kMagic);
    if (n > 0 && std::memcmp(bytes.data(), kMagic, size_t(n)) != 0)
        return PreambleStatus::Stranger;
    if (bytes.size() < kPreambleSize)
        return PreambleStatus::Incomplete;
    const quint16 v = qFromBigEndian<quint16>(bytes.data() + sizeof kMagic);
    if (version)
        *version = v;
    return v >= oldest && v <= kVersion ? PreambleStatus::Match : PreambleStatus::OtherVersion;
}

QByteArray encode(const Message &m)
{
    // Written by hand: a CBOR writer on a QBuffer costs several allocations a
    // frame, and every relayed line is encoded once.
    QByteArray frame;
    frame.reserve(kHeaderSize + kEncodingSlack + (m.key.size() + m.value.size()) * kUtf8BytesPerUnit
                  + m.nonce.size() + m.share.size() + m.tag.size());
    frame.resize(kHeaderSize);
    appendHead(frame, kArray, quint64(1 + fieldCount(m.type)));
    appendHead(frame, kUnsigned, quint64(m.type));
    switch (m.type) {
    case MessageType::Ping:
    case MessageType::Bye:
        break;
    case MessageType::Join:
        appendHead(frame, kUnsigned, quint64(m.deadPeerMs));
        break;
    case MessageType::Refuse:
        appendHead(frame, kUnsigned, quint64(m.reason));
        break;
    case MessageType::Arrive:
    case MessageType::Depart:
        appendHead(frame, kUnsigned, quint64(m.slot));
        break;
    case MessageType::Welcome:
        appendHead(frame, kUnsigned, quint64(m.slot));
        appendHead(frame, kUnsigned, quint64(m.size));
        appendHead(frame, kUnsigned, quint64(m.deadPeerMs));
        break;
    case MessageType::Set:
        appendText(frame, m.key);
        appendText(frame, m.value);
        break;
    case MessageType::Store:
    case MessageType::Update:
        appendHead(frame, kUnsigned, quint64(m.slot));
        appendText(frame, m.key);
        appendText(frame, m.value);
        break;
    case MessageType::Hello:
        appendHead(frame, kUnsigned, m.door ? 1 : 0);
        appendBytes(frame, m.nonce);
        break;
    case MessageType::Knock:
        appendBytes(frame, m.nonce);
        appendBytes(frame, m.share);
        break;
    case MessageType::Answer:
        appendBytes(frame, m.share);
        appendBytes(frame, m.tag);
        break;
    case MessageType::Confirm:
        appendBytes(frame, m.tag);
        break;
    }
    qToBigEndian<quint32>(quint32(frame.size() - kHeaderSize), frame.data());
    return frame;
}

std::optional<Message> decode(QByteArrayView body, std::span<const QString> knownKeys)
{
    // Read by hand, as frames are written: a CBOR stream reader per message
    // was a third of a member's CPU on a line.
    Q_ASSERT(std::all_of(knownKeys.begin(), knownKeys.end(), [](const QString &key) {
        return key.size() < 24 && std::all_of(key.cbegin(), key.cend(), [](QChar c) { return c.unicode() < 0x80; });
    }));
    BodyReader in(body, knownKeys);
    quint64 items = 0;
    if (!in.head(kArray, &items) || items < 1 || items > 1 + kMaxFields)
        return std::nullopt; // protocol error: not a message array

    Message m;
    int type = 0;
    if (!in.uint(kMaxByte, &type) || type < int(MessageType::Set) || type > int(MessageType::Confirm))
        return std::nullopt; // protocol error: unknown type
    m.type = MessageType(type);
    if (int(items) != 1 + fieldCount(m.type))
        return std::nullopt; // protocol error: wrong shape

    constexpr int maxSlot = kMaxRoomSize - 1;
    bool ok = true;
    switch (m.type) {
    case MessageType::Ping:
    case MessageType::Bye:
        break;
    case MessageType::Join:
        ok = in.uint(kMaxDeadPeerMs, &m.deadPeerMs) && m.deadPeerMs >= 1;
        break;
    case MessageType::Refuse:
        ok = in.uint(kMaxByte, &m.reason);
        break;
    case MessageType::Arrive:
    case MessageType::Depart:
        ok = in.uint(maxSlot, &m.slot);
        break;
    case MessageType::Welcome:
        ok = in.uint(maxSlot, &m.slot) && in.uint(kMaxRoomSize, &m.size) && m.size >= 1
             && m.slot < m.size && in.uint(kMaxDeadPeerMs, &m.deadPeerMs) && m.deadPeerMs >= 1;
        break;
    case MessageType::Set:
        ok = in.key(&m.key) && in.text(&m.value);
        break;
    case MessageType::Store:
    case MessageType::Update:
        ok = in.uint(maxSlot, &m.slot) && in.key(&m.key) && in.text(&m.value);
        break;
    case MessageType::Hello: {
        int door = 0;
        ok = in.uint(1, &door) && in.bytes(door ? kNonceBytes : 0, &m.nonce);
        m.door = door == 1;
        break;
    }
    case MessageType::Knock:
        ok = in.bytes(kNonceBytes, &m.nonce) && in.bytes(kShareBytes, &m.share);
        break;
    case MessageType::Answer:
        ok = in.bytes(kShareBytes, &m.share) && in.bytes(kTagBytes, &m.tag);
        break;
    case MessageType::Confirm:
        ok = in.bytes(kTagBytes, &m.tag);
        break;
    }
    if (!ok || !in.atEnd())
        return std::nullopt; // protocol error: bad field or trailing bytes
    return m;
}

QString cleanText(const QString &text)
{
    auto bad = [](const char16_t *p, const char16_t *begin, const char16_t *end) {
        const char16_t c = *p;
        if (c < 0x20)
            return c != u'\t';
        if (c <= 0x9f)
            return c >= 0x7f;
        if (c == 0x2028 || c == 0x2029)
            return true;
        // Embeddings, overrides and isolates: a line must read in its own order.
        if ((c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069))
            return true;
        if (QChar::isHighSurrogate(c))
            return p + 1 == end || !QChar::isLowSurrogate(p[1]);
        if (QChar::isLowSurrogate(c))
            return p == begin || !QChar::isHighSurrogate(p[-1]);
        return false;
    };
    const auto *begin = reinterpret_cast<const char16_t *>(text.constData());
    const char16_t *end = begin + text.size();
    // Printable ASCII, the common case: the lowest and highest code unit, a
    // pass with no early exit that the compiler turns into vector instructions.
    char16_t lowest = 0xffff;
    char16_t highest = 0;
    for (const char16_t *q = begin; q != end; ++q) {
        lowest = std::min(lowest, *q);
        highest = std::max(highest, *q);
    }
    if (lowest >= 0x20 && highest < 0x7f)
        return text;
    const char16_t *p = begin;
    // Most other text passes at the first test.
    while (p != end && ((*p >= 0x20 && *p < 0x7f) || !bad(p, begin, end)))
        ++p;
    if (p == end)
        return text;

    QString clean = text;
    QChar *out = clean.data();
    for (; p != end; ++p) {
        if (bad(p, begin, end))
            out[p - begin] = QChar::ReplacementCharacter;
    }
    return clean;
}

namespace {

// Unicode's Extended_Pictographic, as far as emoji use it.
bool isPictograph(char32_t c)
{
    return c == 0xa9 || c == 0xae || c == 0x203c || c == 0x2049 || c == 0x2122 || c == 0x2139
           || (c >= 0x2194 && c <= 0x21ff) || (c >= 0x2300 && c <= 0x23ff) || c == 0x24c2
           || (c >= 0x25a0 && c <= 0x27bf) || (c >= 0x2934 && c <= 0x2935) || (c >= 0x2b00 && c <= 0x2bff)
           || c == 0x3030 || c == 0x303d || c == 0x3297 || c == 0x3299 || (c >= 0x1f000 && c <= 0x1faff);
}

} // namespace

QString withoutFormatCharacters(const QString &text)
{
    constexpr char16_t kFirstFormat = 0xad; // the soft hyphen
    constexpr char32_t kZeroWidthJoiner = 0x200d;
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < kFirstFormat; }))
        return text;
    const QList<uint> points = text.toUcs4();
    QString kept;
    kept.reserve(text.size());
    char32_t lastShown = 0; // variation selectors left out, as they dress the one before
    for (qsizetype i = 0; i < points.size(); ++i) {
        const char32_t c = points[i];
        if (QChar::category(c) == QChar::Other_Format
            && !(c == kZeroWidthJoiner && isPictograph(lastShown) && i + 1 < points.size()
                 && isPictograph(points[i + 1])))
            continue;
        kept += QStringView(QChar::fromUcs4(c));
        if (c != 0xfe0e && c != 0xfe0f)
            lastShown = c;
    }
    return kept;
}

bool FrameReader::makeRoom()
{
    // A broken stream is not read on; its bytes are not kept either.
    if (!m_error.isEmpty()) {
        m_buffer = QByteArray();
        m_start = 0;
        return false;
    }
    // Frames handed out by next() stay valid until here.
    if (m_start == m_buffer.size()) {
        m_buffer.resize(0);
        m_start = 0;
    } else if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    return true;
}

void FrameReader::append(QByteArrayView bytes)
{
    if (makeRoom())
        m_buffer.append(bytes.data(), bytes.size());
}

FrameReader::Result FrameReader::next(QByteArrayView *body)
{
    if (!m_error.isEmpty())
        return Result::Error;
    const qsizetype have = m_buffer.size() - m_start;
    if (have < kHeaderSize)
        return Result::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_start);
    if (length == 0 || length > quint32(kMaxFrame)) {
        m_error = QStringLiteral("frame length %1 out of range").arg(length);
        // Bodies already handed out stay valid until the next append().
        m_start = m_buffer.size();
        return Result::Error; // protocol error
    }
    if (have < kHeaderSize + qsizetype(length))
        return Result::NeedMore;
    *body = QByteArrayView(m_buffer.constData() + m_start + kHeaderSize, length);
    m_start += kHeaderSize + length;
    return Result::Frame;
}

} // namespace TAVIXLibCtl::Wire
