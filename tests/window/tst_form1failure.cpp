#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

// A refused call ends the program with a message box and a failing status;
// the handler goes no further than the refused call.
class tst_Form1Failure : public QObject
{
    Q_OBJECT

private slots:
    void refusedCallEndsProgram_data();
    void refusedCallEndsProgram();
};

void tst_Form1Failure::refusedCallEndsProgram_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("report");

    QTest::newRow("a refused SetData stops the opening before the address")
            << u"open"_s
            << QStringList{u"box: refused: SetData(name,ぺぽらん)"_s, u"critical: 1"_s,
                           u"call: SetData(name,ぺぽらん)"_s, u"log: /サーバ起動中..."_s,
                           u"entry: "_s};
    QTest::newRow("a refusal inside an event nested in SetData stops the talk too")
            << u"nested"_s
            << QStringList{u"box: refused: GetMemberData(0,name)"_s, u"critical: 1"_s,
                           u"call: SetData(chat,hi)"_s, u"call: GetMemberData(0,name)"_s,
                           u"log: "_s, u"entry: hi"_s};
    QTest::newRow("a refusal in an event from the event loop")
            << u"event"_s
            << QStringList{u"handler returned"_s, u"box: refused: GetMemberData(4,name)"_s,
                           u"critical: 1"_s, u"call: GetMemberData(4,name)"_s, u"log: "_s,
                           u"entry: "_s};
}

void tst_Form1Failure::refusedCallEndsProgram()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, report);

    QProcess window;
    window.start(QStringLiteral(FAILING_WINDOW), {scenario});
    QVERIFY2(window.waitForFinished(30'000), "the window did not end");
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), EXIT_FAILURE);
    const QString out = QString::fromUtf8(window.readAllStandardOutput());
    QCOMPARE(out.split(u'\n', Qt::SkipEmptyParts), report);
}

QTEST_GUILESS_MAIN(tst_Form1Failure)
#include "tst_form1failure.moc"
