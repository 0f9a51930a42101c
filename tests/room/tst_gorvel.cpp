#include "gorvel.h"
#include "hostaddresses.h"
#include "hostidentity.h"
#include "room.h"

#include <QTcpServer>
#include <QTemporaryFile>
#include <QtTest>

using namespace TAVIXLibCtl;

namespace {

// The host key line as people read it aloud: the first 32 hex digits of the
// SHA-256 of this user's host certificate, in fours.
QString hostKeyLine()
{
    QString error;
    const auto identity = HostIdentity::loadOrCreate(HostIdentity::defaultPath(), &error);
    const QString hex = QString::fromLatin1(
        QCryptographicHash::hash(identity->certificate.toDer(), QCryptographicHash::Sha256).toHex());
    QStringList groups;
    for (int i = 0; i < 32; i += 4)
        groups << hex.mid(i, 4);
    return QStringLiteral("\nホストの鍵: ") + groups.join(u' ');
}

} // namespace

Q_DECLARE_METATYPE(std::function<void(TAVIXLibCtl::Gorvel &)>)

class tst_Gorvel : public QObject
{
    Q_OBJECT

private slots:
    void neverTakesTheFocus();
    void drawsEachStateInJapanese();
    void forwardsTheRoomsEvents();
    void impossibleCallsThrow_data();
    void impossibleCallsThrow();
};

void tst_Gorvel::neverTakesTheFocus()
{
    QWidget window;
    auto *control = new Gorvel(&window);
    QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    QCOMPARE(control->sizeHint(), QSize(161, 33));
    QCOMPARE(control->Port(), 5120);
    QCOMPARE(control->MaxMembers(), qint16(5));
}

void tst_Gorvel::drawsEachStateInJapanese()
{
    Gorvel control;
    control.room()->setTimeouts(Timeouts{std::chrono::milliseconds(1000),
                                         std::chrono::milliseconds(1000),
                                         std::chrono::milliseconds(1000)});
    QCOMPARE(control.accessibleDescription(), QStringLiteral("未接続"));
    control.SetData(QStringLiteral("name"), QStringLiteral("H"));
    control.setPort(0);
    control.OpenServer();
    const int port = control.Port();
    QVERIFY(port > 0);
    const QString key = hostKeyLine();
    // While hosting, the addresses to give follow the status lines.
    const QStringList addresses = addressesToGive();
    const QString joinAt = QStringLiteral("\n参加用アドレス: ")
                           + (addresses.isEmpty() ? QStringLiteral("なし") : addresses.join(QStringLiteral(", ")));
    QTRY_COMPARE(control.accessibleDescription(),
                 QStringLiteral("サーバ ポート %1\n参加者 1/5人").arg(port) + joinAt + key);
    QCOMPARE(control.toolTip(), control.accessibleDescription());

    Gorvel joiner;
    joiner.setServerAddress(QStringLiteral("127.0.0.1"));
    joiner.setPort(port);
    joiner.OpenClient();
    QCOMPARE(joiner.accessibleDescription(), QStringLiteral("接続中\n127.0.0.1"));
    QTRY_COMPARE(joiner.accessibleDescription(), QStringLiteral("参加中\n参加者 2/5人") + key);
    QTRY_COMPARE(control.accessibleDescription(),
                 QStringLiteral("サーバ ポート %1\n参加者 2/5人").arg(port) + joinAt + key);
    {
        // A member that cannot keep the host's key joins, and says so.
        QTemporaryFile notAFolder;
        QVERIFY(notAFolder.open());
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(notAFolder.fileName()));
        Gorvel forgetful;
        forgetful.setServerAddress(QStringLiteral("127.0.0.1"));
        forgetful.setPort(port);
        forgetful.OpenClient();
        QTRY_VERIFY2(forgetful.accessibleDescription().startsWith(
                         QStringLiteral("参加中\n参加者 3/5人") + key + QStringLiteral("\n鍵を保存できません: cannot write ")
                         + notAFolder.fileName() + QStringLiteral("/tavix/known_hosts")),
                     qPrintable(forgetful.accessibleDescription()));
        qputenv("XDG_CONFIG_HOME", config);
    }
    control.CloseConnection();
    // The member still shows the key of the host it was in.
    QTRY_COMPARE(joiner.accessibleDescription(), QStringLiteral("未接続\nサーバが終了しました") + key);

    // A port that is taken shows in plain words.
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 0));
    control.setPort(squatter.serverPort());
    control.OpenServer();
    QCOMPARE(control.room()->state(), Room::State::Idle); // at once, not when the end is raised
    QTRY_COMPARE(control.accessibleDescription(), QStringLiteral("未接続\nポートが使用中です"));
    control.show();
    QVERIFY(QTest::qWaitForWindowExposed(&control));
}

void tst_Gorvel::forwardsTheRoomsEvents()
{
    Gorvel control;
    QSignalSpy changed(&control, &Gorvel::DataChanged);
    QSignalSpy ended(&control, &Gorvel::Disconnected);
    control.SetData(QStringLiteral("name"), QStringLiteral("ぺぽらん"));
    control.setPort(0);
    control.OpenServer();
    QTRY_COMPARE(changed.size(), 1);
    QCOMPARE(changed.first().at(0).value<qint16>(), qint16(0));
    QCOMPARE(changed.first().at(2).toString(), QStringLiteral("cnt"));
    QCOMPARE(changed.first().at(3).toString(), QStringLiteral("1"));
    QCOMPARE(control.GetMemberData(0, QStringLiteral("name")), QStringLiteral("ぺぽらん"));
    QCOMPARE(control.GetData(QStringLiteral("name")), QStringLiteral("ぺぽらん"));
    QCOMPARE(control.OwnSlot(), qint16(0));
    control.CloseConnection();
    QTRY_COMPARE(ended.size(), 1);
    QCOMPARE(control.OwnSlot(), qint16(-1));
}

void tst_Gorvel::impossibleCallsThrow_data()
{
    using Call = std::function<void(Gorvel &)>;
    QTest::addColumn<Call>("call");
    QTest::newRow("a negative port") << Call([](Gorvel &g) { g.setPort(-1); });
    QTest::newRow("a port beyond 65535") << Call([](Gorvel &g) { g.setPort(65536); });
    QTest::newRow("a room of no one") << Call([](Gorvel &g) { g.setMaxMembers(0); });
    QTest::newRow("a room of 257") << Call([](Gorvel &g) { g.setMaxMembers(257); });
    QTest::newRow("joining port 0") << Call([](Gorvel &g) {
        g.setPort(0);
        g.OpenClient();
    });
    QTest::newRow("a value of 32768 characters")
        << Call([](Gorvel &g) { g.SetData(QStringLiteral("chat"), QString(32768, u'x')); });
    QTest::newRow("a key of 32768 characters")
        << Call([](Gorvel &g) { g.SetData(QString(32768, u'k'), QString()); });
    QTest::newRow("a 33rd key") << Call([](Gorvel &g) {
        for (int i = 0; i < 32; ++i)
            g.SetData(QString::number(i), QStringLiteral("v"));
        g.SetData(QStringLiteral("33rd"), QStringLiteral("v"));
    });
}

void tst_Gorvel::impossibleCallsThrow()
{
    QFETCH(std::function<void(Gorvel &)>, call);
    Gorvel control;
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, call(control));
    QCOMPARE(control.room()->state(), Room::State::Idle);
    QCOMPARE(control.MaxMembers(), qint16(5));
}

QTEST_MAIN(tst_Gorvel)
#include "tst_gorvel.moc"
