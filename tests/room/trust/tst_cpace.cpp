// The passphrase exchange against the draft's own test vectors for the
// ristretto255 / SHA-512 suite, and the ways an exchange must fail.

#include "cpace.h"
#include "passphrase.h"

#include <QTest>

using namespace TAVIXLibCtl;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The draft's inputs: PRS "Password", its channel identifier and session id.
const QByteArray kPrs = QByteArrayLiteral("Password");
const QByteArray kCi = hex("0b415f696e69746961746f720b425f726573706f6e646572");
const QByteArray kSid = hex("7e4b4791d6a8ef019b936c79fb7f2c57");
const QByteArray kAda = QByteArrayLiteral("ADa");
const QByteArray kAdb = QByteArrayLiteral("ADb");
const QByteArray kYa = hex("da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08");
const QByteArray kYb = hex("d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d");

} // namespace

class tst_Cpace : public QObject
{
    Q_OBJECT

private slots:
    void draftVectors_data();
    void draftVectors();
    void invalidSharesAbort_data();
    void invalidSharesAbort();
    void confirmationNeedsTheSameInputs_data();
    void confirmationNeedsTheSameInputs();
    void passphraseAsTyped_data();
    void passphraseAsTyped();
};

void tst_Cpace::draftVectors_data()
{
    QTest::addColumn<QByteArray>("actual");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("LEB128 length of 127 bytes is one byte")
            << Cpace::prependLength(QByteArray(127, 'a')).left(1) << hex("7f");
    QTest::newRow("LEB128 length of 128 bytes is two bytes")
            << Cpace::prependLength(QByteArray(128, 'a')).left(2) << hex("8001");
    QTest::newRow("generator string")
            << Cpace::generatorString("CPaceRistretto255", kPrs, kCi, kSid)
            << hex("11435061636552697374726574746f3235350850617373776f726464" + QByteArray(200, '0')
                   + "180b415f696e69746961746f720b425f726573706f6e646572107e4b4791d6a8ef019b936c79fb7f2c57");
    QTest::newRow("generator") << Cpace::generator(kPrs, kCi, kSid)
                               << hex("222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56");

    const Cpace::Exchange a(Cpace::Exchange::Role::Initiator, kPrs, kCi, kSid, kAda, kAdb, kYa);
    const Cpace::Exchange b(Cpace::Exchange::Role::Responder, kPrs, kCi, kSid, kAda, kAdb, kYb);
    QTest::newRow("message from the initiator")
            << a.share() << hex("d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157");
    QTest::newRow("message from the responder")
            << b.share() << hex("3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258");

    const QByteArray isk = hex("b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                               "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447");
    for (const auto role : {Cpace::Exchange::Role::Initiator, Cpace::Exchange::Role::Responder}) {
        const bool initiator = role == Cpace::Exchange::Role::Initiator;
        Cpace::Exchange side(role, kPrs, kCi, kSid, kAda, kAdb, initiator ? kYa : kYb);
        const bool received = side.receive(initiator ? b.share() : a.share());
        QTest::newRow(initiator ? "session key at the initiator" : "session key at the responder")
                << (received ? side.sessionKey() : QByteArray("not received")) << isk;
    }
}

void tst_Cpace::draftVectors()
{
    QFETCH(QByteArray, actual);
    QFETCH(QByteArray, expected);
    QCOMPARE(actual.toHex(), expected.toHex());
}

void tst_Cpace::invalidSharesAbort_data()
{
    QTest::addColumn<QByteArray>("share");
    QTest::newRow("not an element (the draft's Y_i1)")
            << hex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c");
    QTest::newRow("the neutral element") << QByteArray(32, '\0');
    QTest::newRow("too short") << hex("d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b91");
    QTest::newRow("empty") << QByteArray();
}

void tst_Cpace::invalidSharesAbort()
{
    QFETCH(QByteArray, share);
    Cpace::Exchange b(Cpace::Exchange::Role::Responder, kPrs, kCi, kSid, kAda, kAdb);
    QVERIFY(!b.receive(share));
    QVERIFY(b.sessionKey().isEmpty());
    QVERIFY(b.confirmation().isEmpty());
    QVERIFY(!b.confirms(QByteArray(Cpace::kTagBytes, '\0')));
}

void tst_Cpace::confirmationNeedsTheSameInputs_data()
{
    QTest::addColumn<QByteArray>("responderPrs");
    QTest::addColumn<QByteArray>("responderCi");
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("same passphrase and channel: both confirm") << kPrs << kCi << true;
    QTest::newRow("another passphrase: neither confirms") << QByteArray("password") << kCi << false;
    QTest::newRow("another channel (a relay's key): neither confirms") << kPrs << hex("00") + kCi << false;
}

void tst_Cpace::confirmationNeedsTheSameInputs()
{
    QFETCH(QByteArray, responderPrs);
    QFETCH(QByteArray, responderCi);
    QFETCH(bool, confirmed);
    Cpace::Exchange a(Cpace::Exchange::Role::Initiator, kPrs, kCi, kSid, kAda, kAdb);
    Cpace::Exchange b(Cpace::Exchange::Role::Responder, responderPrs, responderCi, kSid, kAda, kAdb);
    QVERIFY(a.receive(b.share()));
    QVERIFY(b.receive(a.share()));
    QCOMPARE(a.confirms(b.confirmation()), confirmed);
    QCOMPARE(b.confirms(a.confirmation()), confirmed);
    // A side never accepts its own tag back: a reflected message fails.
    QVERIFY(!a.confirms(a.confirmation()));
}

void tst_Cpace::passphraseAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("used"); // UTF-8 handed to the exchange

    QTest::newRow("full-width letters and digits are the half-width ones") << u"ｐａｓｓ１２３"_qs << QByteArray("pass123");
    QTest::newRow("half-width katakana is the full-width one") << u"ｱｲｺﾄﾊﾞ"_qs << QByteArray("アイコトバ");
    QTest::newRow("spaces around it, ideographic ones too, are trimmed")
            << u"\u3000 あいことば \t"_qs << QByteArray("あいことば");
    QTest::newRow("a space inside it stays") << u"open sesame"_qs << QByteArray("open sesame");
    QTest::newRow("case still counts") << u"Pass"_qs << QByteArray("Pass");
    QTest::newRow("only blanks is no passphrase") << u"\u3000  "_qs << QByteArray();
}

void tst_Cpace::passphraseAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, used);
    const Passphrase passphrase = Passphrase::fromTyped(typed);
    QCOMPARE(passphrase.bytes().toByteArray(), used);
    QCOMPARE(passphrase.isEmpty(), used.isEmpty());
    QVERIFY(passphrase == Passphrase::fromTyped(QString::fromUtf8(used)));
}

QTEST_GUILESS_MAIN(tst_Cpace)
#include "tst_cpace.moc"
