#include "form1.h"
#include "formdriver.h"
#include "gorvel.h"

#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace FormDriver;
using TAVIXLibCtl::Gorvel;

namespace {

constexpr int Timeout = 10'000; // ms; loopback answers far sooner

QString arrived(const QString &name) { return name + u"さん が\u3000きました"_s; }
QString left(const QString &name) { return name + u"さん が\u3000いなくなりました"_s; }
QString said(const QString &name, const QString &text) { return name + u" > "_s + text; }
QString renamed(const QString &from, const QString &to)
{
    return from + u" さんは\u3001\u300C"_s + to + u"\u300Dさんに名前を変更しました"_s;
}

QString lastLine(const Form1 &form) { return logLines(form).constLast(); }

// The lines from the first one equal to `from`, to the end.
QStringList linesFrom(const Form1 &form, const QString &from)
{
    const QStringList lines = logLines(form);
    const qsizetype start = lines.indexOf(from);
    return start < 0 ? QStringList() : lines.mid(start);
}

} // namespace

// Three windows in one process on the real room component over loopback.
class tst_ChatRoom : public QObject
{
    Q_OBJECT

private slots:
    void threeMembers();
};

void tst_ChatRoom::threeMembers()
{
    // The host listens on a port the system picks; the window hands it 0.
    auto host = std::make_unique<Form1>(new Gorvel, 0);
    host->aname->setText(u"ホスト"_s);
    host->StartServer->click();
    QCOMPARE(buttons(*host), u"--"_s);
    const int port = host->Gorvel1->Port();
    QVERIFY2(port > 0, "the host is not listening");
    QTRY_COMPARE_WITH_TIMEOUT(lastLine(*host), arrived(u"ホスト"_s), Timeout);

    auto aki = std::make_unique<Form1>(new Gorvel, port);
    aki->aname->setText(u"Aki"_s);
    aki->serverIP->setText(u"127.0.0.1"_s);
    aki->Connect->click();
    QCOMPARE(lastLine(*aki), u"接続中..."_s);
    QTRY_COMPARE_WITH_TIMEOUT(lastLine(*host), arrived(u"Aki"_s), Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(lastLine(*aki), arrived(u"Aki"_s), Timeout);

    auto bun = std::make_unique<Form1>(new Gorvel, port);
    bun->aname->clear(); // joins as the fallback name
    bun->Connect->click();
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), arrived(u"名無し"_s), Timeout);
    QCOMPARE(bun->aname->text(), QString());

    // Lines from every member reach every window in the same order.
    aki->TalkStr->setText(u"こんにちは"_s);
    aki->Talk->click();
    QCOMPARE(aki->TalkStr->text(), QString());
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), said(u"Aki"_s, u"こんにちは"_s), Timeout);
    host->TalkStr->setText(u"ようこそ"_s);
    host->Talk->click();
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), said(u"ホスト"_s, u"ようこそ"_s), Timeout);

    // A rename made by leaving the name box, as a user does it.
    QVERIFY(showActive(*bun));
    click(*bun, bun->aname);
    type(*bun, u"Bun"_s);
    click(*bun, bun->TalkStr);
    QCOMPARE(bun->Gorvel1->GetData(u"name"_s), u"Bun"_s);
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), renamed(u"名無し"_s, u"Bun"_s), Timeout);
    type(*bun, u"やあ"_s);
    key(*bun, Qt::Key_Return);
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), said(u"Bun"_s, u"やあ"_s), Timeout);

    const QStringList shared{arrived(u"名無し"_s),
                             said(u"Aki"_s, u"こんにちは"_s),
                             said(u"ホスト"_s, u"ようこそ"_s),
                             renamed(u"名無し"_s, u"Bun"_s),
                             said(u"Bun"_s, u"やあ"_s)};
    for (Form1 *form : {host.get(), aki.get(), bun.get()})
        QCOMPARE(linesFrom(*form, arrived(u"名無し"_s)), shared);

    // The member list, in slot order, at every window.
    for (Form1 *form : {host.get(), aki.get(), bun.get()}) {
        const qsizetype before = logLines(*form).size();
        form->showS->click();
        QCOMPARE(logLines(*form).mid(before),
                 QStringList({u"ホスト"_s, u"Aki"_s, u"Bun"_s}));
        QCOMPARE(form->Gorvel1->MaxMembers(), qint16(5));
    }

    // A departure.
    aki->Close->click();
    QCOMPARE(buttons(*aki), u"--"_s); // until the component says so
    QTRY_COMPARE_WITH_TIMEOUT(lastLine(*aki), u"切断しました。"_s, Timeout);
    QCOMPARE(buttons(*aki), u"SC"_s);
    for (Form1 *form : {host.get(), bun.get()})
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), left(u"Aki"_s), Timeout);
    QCOMPARE(linesFrom(*host, arrived(u"名無し"_s)), linesFrom(*bun, arrived(u"名無し"_s)));

    const qsizetype before = logLines(*bun).size();
    bun->showS->click();
    QCOMPARE(logLines(*bun).mid(before), QStringList({u"ホスト"_s, u"Bun"_s}));

    // The host closes the room: everyone is back to idle.
    host->Close->click();
    for (Form1 *form : {host.get(), bun.get()}) {
        QTRY_COMPARE_WITH_TIMEOUT(lastLine(*form), u"切断しました。"_s, Timeout);
        QCOMPARE(buttons(*form), u"SC"_s);
    }
}

QTEST_MAIN(tst_ChatRoom)
#include "tst_chatroom.moc"
