#include "wirecodec.h"

#include <QCborStreamWriter>
#include <QCborValue>
#include <QtEndian>
#include <QTest>

using namespace TAVIXLibCtl::Wire;

Q_DECLARE_METATYPE(TAVIXLibCtl::Wire::Message)

namespace {

QByteArray framed(const QByteArray &body)
{
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    return frame + body;
}

QList<Message> readAll(FrameReader &reader, bool *error = nullptr)
{
    QList<Message> out;
    QByteArrayView body;
    for (;;) {
        const auto r = reader.next(&body);
        if (r == FrameReader::Result::NeedMore)
            break;
        if (r == FrameReader::Result::Error) {
            if (error)
                *error = true;
            break;
        }
        const auto m = decode(body);
        if (!m) {
            if (error)
                *error = true;
            break;
        }
        out << *m;
    }
    return out;
}

} // namespace

class tst_WireCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void streamSplitAtEveryByte();
    void lengthOutOfRangeIsRejectedFromTheHeader_data();
    void lengthOutOfRangeIsRejectedFromTheHeader();
    void otherWritersFormsAreRead_data();
    void otherWritersFormsAreRead();
    void malformedBodiesAreRejected_data();
    void malformedBodiesAreRejected();
    void truncatedStreamWaitsForMore();
    void controlCharactersAreReplaced_data();
    void controlCharactersAreReplaced();
    void preamble_data();
    void preamble();
};

void tst_WireCodec::roundTrip_data()
{
    QTest::addColumn<Message>("message");
    const QString longCjk(kMaxText, QChar(0x6F22));
    QString emoji;
    while (emoji.size() + 2 <= kMaxText)
        emoji += QStringLiteral("😀");

    QTest::newRow("a join carries the member's dead-peer bound") << Message::join(15000);
    QTest::newRow("a ping carries nothing") << Message::ping();
    QTest::newRow("a host's goodbye carries nothing") << Message::bye();
    QTest::newRow("a welcome gives slot, size and the host's bound") << Message::welcome(4, 5, 1000);
    QTest::newRow("a refusal gives its reason") << Message{.type = MessageType::Refuse, .reason = 1};
    QTest::newRow("an arrival names the slot") << Message::arrive(255);
    QTest::newRow("a departure names the slot") << Message::depart(3);
    QTest::newRow("an open room's hello has no nonce") << Message::hello({});
    QTest::newRow("a door's hello carries the host's nonce") << Message::hello(QByteArray(kNonceBytes, '\xa5'));
    QTest::newRow("a knock carries a nonce and a share")
        << Message::knock(QByteArray(kNonceBytes, 'n'), QByteArray(kShareBytes, 's'));
    QTest::newRow("an answer carries a share and a tag")
        << Message::answer(QByteArray(kShareBytes, 's'), QByteArray(kTagBytes, '\0'));
    QTest::newRow("a confirmation carries a tag") << Message::confirm(QByteArray(kTagBytes, 't'));
    QTest::newRow("a set carries Japanese")
        << Message::set(QStringLiteral("name"), QStringLiteral("ぺぽらん"));
    QTest::newRow("an empty value survives")
        << Message::update(2, QStringLiteral("chat"), QString());
    QTest::newRow("a tab may stay")
        << Message::store(1, QStringLiteral("chat"), QStringLiteral("a\tb"));
    QTest::newRow("the longest CJK line fits one frame")
        << Message::update(1, longCjk, longCjk);
    QTest::newRow("the longest emoji line fits one frame")
        << Message::set(QStringLiteral("chat"), emoji);
    QTest::newRow("a text that starts with a byte order mark keeps it")
        << Message::update(1, QStringLiteral("\uFEFFname"), QStringLiteral("\uFEFF\uFEFFぺぽらん"));
}

void tst_WireCodec::roundTrip()
{
    QFETCH(Message, message);
    const QByteArray frame = encode(message);
    QVERIFY(frame.size() - 4 <= kMaxFrame);
    QCOMPARE(qFromBigEndian<quint32>(frame.constData()), quint32(frame.size() - 4));

    FrameReader reader;
    reader.append(frame);
    bool error = false;
    const auto got = readAll(reader, &error);
    QVERIFY(!error);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.first(), message);
}

void tst_WireCodec::streamSplitAtEveryByte()
{
    const QList<Message> sent = {
        Message::welcome(1, 5, 15000),
        Message::store(0, QStringLiteral("name"), QStringLiteral("ホスト")),
        Message::arrive(1),
        Message::update(1, QStringLiteral("chat"), QStringLiteral("こんにちは 👋")),
        Message::ping(),
    };
    QByteArray stream;
    for (const auto &m : sent)
        stream += encode(m);

    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        bool error = false;
        reader.append(QByteArrayView(stream).first(cut));
        QList<Message> got = readAll(reader, &error);
        reader.append(QByteArrayView(stream).sliced(cut));
        got += readAll(reader, &error);
        QVERIFY2(!error, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(got, sent);
    }

    // And one byte at a time.
    FrameReader reader;
    QList<Message> got;
    for (char byte : stream) {
        reader.append(QByteArrayView(&byte, 1));
        got += readAll(reader);
    }
    QCOMPARE(got, sent);
}

void tst_WireCodec::lengthOutOfRangeIsRejectedFromTheHeader_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("an empty frame") << quint32(0);
    QTest::newRow("one byte over the limit") << quint32(kMaxFrame + 1);
    QTest::newRow("the largest length a header can say") << quint32(0xffffffff);
}

void tst_WireCodec::lengthOutOfRangeIsRejectedFromTheHeader()
{
    QFETCH(quint32, length);
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(length, header.data());
    FrameReader reader;
    reader.append(header); // no body at all: the header alone must be enough
    QByteArrayView body;
    QCOMPARE(reader.next(&body), FrameReader::Result::Error);
    QCOMPARE(reader.buffered(), 0);
    reader.append(QByteArray(1000, 'x'));
    QCOMPARE(reader.next(&body), FrameReader::Result::Error);
}

void tst_WireCodec::otherWritersFormsAreRead_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<Message>("message");
    QTest::newRow("a text in chunks")
        << QByteArray::fromHex("830164636861747f626865636c6c6fff")
        << Message::set(QStringLiteral("chat"), QStringLiteral("hello"));
    QTest::newRow("Japanese in chunks cut between characters")
        << QByteArray::fromHex("830164636861747f63e3819363e38293ff")
        << Message::set(QStringLiteral("chat"), QStringLiteral("こん"));
    QTest::newRow("numbers and a key's length in longer forms than they need")
        << QByteArray::fromHex("84081a0000000278046e616d656178")
        << Message::update(2, QStringLiteral("name"), QStringLiteral("x"));
}

void tst_WireCodec::otherWritersFormsAreRead()
{
    QFETCH(QByteArray, body);
    QFETCH(Message, message);
    QCOMPARE(decode(body), std::optional<Message>(message));
}

void tst_WireCodec::malformedBodiesAreRejected_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("random bytes") << QByteArray::fromHex("deadbeef00ff");
    QTest::newRow("a bare integer, not an array") << QByteArray::fromHex("03");
    QTest::newRow("an empty array") << QByteArray::fromHex("80");
    QTest::newRow("an indefinite array") << QByteArray::fromHex("9f03ff");
    QTest::newRow("an unknown type") << QByteArray::fromHex("8118ff");
    QTest::newRow("the type after the last") << QByteArray::fromHex("810f");
    QTest::newRow("an open room's hello with a nonce") << QByteArray::fromHex("830b0041ff");
    QTest::newRow("a door's hello without one") << QByteArray::fromHex("830b0140");
    QTest::newRow("a door that is neither open nor shut") << QByteArray::fromHex("830b0240");
    QTest::newRow("a confirmation one byte short") << QByteArray::fromHex("820e583f") + QByteArray(63, 't');
    QTest::newRow("a confirmation whose tag is text") << QByteArray::fromHex("820e7840") + QByteArray(64, 't');
    QTest::newRow("a knock whose nonce comes in chunks")
        << QByteArray::fromHex("830c5f480102030405060708480102030405060708ff5820") + QByteArray(32, 's');
    QTest::newRow("type zero") << QByteArray::fromHex("8100");
    QTest::newRow("a ping with a stray field") << QByteArray::fromHex("820300");
    QTest::newRow("an arrival without its slot") << QByteArray::fromHex("8107");
    QTest::newRow("a slot beyond any room") << QByteArray::fromHex("8207190100");
    QTest::newRow("a welcome to a slot outside the room") << QByteArray::fromHex("840405051903e8");
    QTest::newRow("a welcome to an empty room") << QByteArray::fromHex("840400001903e8");
    QTest::newRow("a welcome without the host's bound") << QByteArray::fromHex("83040105");
    QTest::newRow("a join without the member's bound") << QByteArray::fromHex("8102");
    QTest::newRow("a join that allows no silence at all") << QByteArray::fromHex("820200");
    QTest::newRow("a join that allows more than an hour") << QByteArray::fromHex("82021a0036ee81");
    QTest::newRow("a set whose key is a number") << QByteArray::fromHex("8301016161");
    QTest::newRow("invalid UTF-8") << QByteArray::fromHex("830161616262fffe");
    QTest::newRow("a surrogate written as UTF-8") << QByteArray::fromHex("830161616363eda080");
    QTest::newRow("a text that says it is longer than it is") << QByteArray::fromHex("8301616178ff61");
    QTest::newRow("trailing bytes after the message") << QByteArray::fromHex("810300");
    QTest::newRow("a truncated array") << QByteArray::fromHex("830161");
    QTest::newRow("a character cut between two chunks") << QByteArray::fromHex("830161617f62e3816193ff");
    QTest::newRow("chunks without their end") << QByteArray::fromHex("830161617f6161");
    QTest::newRow("a number among the chunks") << QByteArray::fromHex("830161617f01ff");
    QByteArray tooLong = QByteArray::fromHex("830161617a") ;
    const quint32 n = quint32(3 * kMaxText + 1);
    tooLong.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    tooLong.append(QByteArray(int(n), 'a'));
    QTest::newRow("a text longer than any box holds") << tooLong;
    QByteArray manyUnits = QByteArray::fromHex("830161617a");
    const quint32 m = quint32(kMaxText + 1);
    manyUnits.append(char(m >> 24)).append(char(m >> 16)).append(char(m >> 8)).append(char(m));
    manyUnits.append(QByteArray(int(m), 'a'));
    QTest::newRow("32768 ASCII characters") << manyUnits;
}

void tst_WireCodec::malformedBodiesAreRejected()
{
    QFETCH(QByteArray, body);
    QVERIFY(!decode(body).has_value());
    FrameReader reader;
    reader.append(framed(body));
    bool error = false;
    QVERIFY(readAll(reader, &error).isEmpty());
    QVERIFY(error);
}

void tst_WireCodec::truncatedStreamWaitsForMore()
{
    const QByteArray frame = encode(Message::arrive(2));
    FrameReader reader;
    reader.append(QByteArrayView(frame).chopped(1));
    QByteArrayView body;
    QCOMPARE(reader.next(&body), FrameReader::Result::NeedMore);
    reader.append(QByteArrayView(frame).last(1));
    QCOMPARE(reader.next(&body), FrameReader::Result::Frame);
    QCOMPARE(decode(body)->slot, 2);
    QCOMPARE(reader.next(&body), FrameReader::Result::NeedMore);
}

void tst_WireCodec::controlCharactersAreReplaced_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("sendable"); // a lone surrogate has no UTF-8 form
    const QString r(QChar::ReplacementCharacter);
    QTest::newRow("clean Japanese is untouched")
        << QStringLiteral("こんにちは") << QStringLiteral("こんにちは") << true;
    QTest::newRow("a tab may stay") << QStringLiteral("a\tb") << QStringLiteral("a\tb") << true;
    QTest::newRow("CR LF cannot start a new line")
        << QStringLiteral("hi\r\nmallory > forged")
        << QStringLiteral("hi") + r + r + QStringLiteral("mallory > forged") << true;
    QTest::newRow("an escape after a printable start")
        << QStringLiteral("hello, world\x1b[2J") << QStringLiteral("hello, world") + r + QStringLiteral("[2J")
        << true;
    QTest::newRow("NUL and ESC") << QString::fromUtf16(u"a\u0000b\u001b", 4)
                                 << QStringLiteral("a") + r + QStringLiteral("b") + r << true;
    QTest::newRow("DEL and C1 next line") << QString::fromUtf16(u"\u007f\u0085") << r + r << true;
    QTest::newRow("line and paragraph separators")
        << QString::fromUtf16(u"x\u2028y\u2029") << QStringLiteral("x") + r + QStringLiteral("y") + r
        << true;
    QTest::newRow("a right-to-left override cannot turn a line around")
        << QString::fromUtf16(u"A > \u202Eolleh") << QStringLiteral("A > ") + r + QStringLiteral("olleh")
        << true;
    QTest::newRow("embeddings and the pop after them")
        << QString::fromUtf16(u"\u202A\u202B\u202C\u202D") << r + r + r + r << true;
    QTest::newRow("isolates")
        << QString::fromUtf16(u"\u2066a\u2067b\u2068c\u2069")
        << r + QStringLiteral("a") + r + QStringLiteral("b") + r + QStringLiteral("c") + r << true;
    QTest::newRow("marks that only steer neutral characters are kept")
        << QString::fromUtf16(u"a\u200Eb\u200F") << QString::fromUtf16(u"a\u200Eb\u200F") << true;
    QTest::newRow("an emoji pair is kept") << QStringLiteral("😀") << QStringLiteral("😀") << true;
    QTest::newRow("a lone high surrogate")
        << QString(QChar(0xd83d)) + QStringLiteral("a") << r + QStringLiteral("a") << false;
    QTest::newRow("a lone low surrogate")
        << QStringLiteral("a") + QChar(0xde00) << QStringLiteral("a") + r << false;
}

void tst_WireCodec::controlCharactersAreReplaced()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(bool, sendable);
    QCOMPARE(cleanText(text), expected);
    if (!sendable)
        return;
    // What a peer sends is cleaned on arrival, too.
    const QByteArray utf8 = text.toUtf8();
    QByteArray body;
    {
        QCborStreamWriter w(&body);
        w.startArray(3);
        w.append(quint64(MessageType::Set));
        w.append(QStringLiteral("chat"));
        w.appendTextString(utf8.constData(), utf8.size());
        w.endArray();
    }
    const auto m = decode(body);
    QVERIFY(m.has_value());
    QCOMPARE(m->value, expected);

    // The same text in two chunks, the first of them clean.
    qsizetype half = text.size() / 2;
    if (half < text.size() && text.at(half).isLowSurrogate())
        ++half;
    const auto cborText = [](const QByteArray &piece) {
        QByteArray bytes;
        QCborStreamWriter(&bytes).appendTextString(piece.constData(), piece.size());
        return bytes;
    };
    // [Set, "chat", an indefinite text of two chunks]
    body = QByteArray::fromHex("83") + QCborValue(qint64(MessageType::Set)).toCbor() + cborText("chat")
           + '\x7f' + cborText(text.first(half).toUtf8()) + cborText(text.sliced(half).toUtf8()) + '\xff';
    const auto chunked = decode(body);
    QVERIFY(chunked.has_value());
    QCOMPARE(chunked->value, expected);
}

void tst_WireCodec::preamble_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<PreambleStatus>("status");
    QTest::addColumn<quint16>("oldest"); // the oldest version the reader takes
    const QByteArray ours = TAVIXLibCtl::Wire::preamble();
    QTest::newRow("ours") << ours << PreambleStatus::Match << kVersion;
    QTest::newRow("ours, half read") << ours.left(3) << PreambleStatus::Incomplete << kVersion;
    QTest::newRow("nothing read yet") << QByteArray() << PreambleStatus::Incomplete << kVersion;
    QTest::newRow("another version") << TAVIXLibCtl::Wire::preamble(kVersion + 1) << PreambleStatus::OtherVersion
                                     << kOldestMemberVersion;
    QTest::newRow("the version before, to a member") << TAVIXLibCtl::Wire::preamble(kVersion - 1)
                                                     << PreambleStatus::OtherVersion << kVersion;
    QTest::newRow("the version before, to a host") << TAVIXLibCtl::Wire::preamble(kVersion - 1)
                                                   << PreambleStatus::Match << kOldestMemberVersion;
    QTest::newRow("a version older still, to a host") << TAVIXLibCtl::Wire::preamble(kOldestMemberVersion - 1)
                                                      << PreambleStatus::OtherVersion << kOldestMemberVersion;
    QTest::newRow("an HTTP request, at its first byte") << QByteArray("G") << PreambleStatus::Stranger << kVersion;
    QTest::newRow("a near miss") << QByteArray("TVXQ\0\1", 6) << PreambleStatus::Stranger << kVersion;
}

void tst_WireCodec::preamble()
{
    QFETCH(QByteArray, bytes);
    QFETCH(PreambleStatus, status);
    QFETCH(quint16, oldest);
    QCOMPARE(checkPreamble(bytes, nullptr, oldest), status);
}

QTEST_APPLESS_MAIN(tst_WireCodec)
#include "tst_wirecodec.moc"
