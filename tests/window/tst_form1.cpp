#include "form1.h"
#include "formdriver.h"
#include "recordinggorvel.h"

#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>

using namespace Qt::StringLiterals;
using namespace FormDriver;

namespace {

// Logs an enable/disable of a button as one more entry of the call record,
// so that the order of disabling and calling can be checked.
class EnabledWatcher : public QObject
{
public:
    EnabledWatcher(RecordingGorvel *room, QPushButton *button)
        : QObject(button), m_room(room), m_button(button)
    {
        button->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_button && event->type() == QEvent::EnabledChange) {
            const QString state = m_button->isEnabled() ? u"enabled"_s : u"disabled"_s;
            const QString entry = m_button->objectName() + u' ' + state;
            m_room->calls->append(m_room->observe ? entry + u" | "_s + m_room->observe() : entry);
        }
        return false;
    }

private:
    RecordingGorvel *m_room;
    QPushButton *m_button;
};

QString textOf(const QWidget *control)
{
    if (auto *edit = qobject_cast<const QPlainTextEdit *>(control))
        return edit->toPlainText();
    return control->property("text").toString();
}

} // namespace

class tst_Form1 : public QObject
{
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void windowAtStart();

    void opening_data();
    void opening();
    void busyUntilDisconnected_data();
    void busyUntilDisconnected();
    void closeWhileIdleOnlyAsks();

    void dataChanged_data();
    void dataChanged();
    void appendsAtEndWhateverTheCaret_data();
    void appendsAtEndWhateverTheCaret();
    void keepsNewestLineInView_data();
    void keepsNewestLineInView();

    void memberList_data();
    void memberList();

    void talk_data();
    void talk();

    void eventsNestedInSetDataWhileTalking();
    void eventsNestedInOpening();
};

void tst_Form1::layout_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    // twips / 15
    QTest::newRow("Label1 reads なまえ") << u"Label1"_s << QRect(16, 8, 57, 17) << u"なまえ"_s;
    QTest::newRow("aname holds the preset name")
            << u"aname"_s << QRect(80, 8, 105, 18) << u"ぺぽらん"_s;
    QTest::newRow("Gorvel1 sits at the top right") << u"Gorvel1"_s << QRect(200, 8, 161, 33) << QString();
    QTest::newRow("Label2 reads サーバIP") << u"Label2"_s << QRect(16, 32, 57, 17) << u"サーバIP"_s;
    QTest::newRow("serverIP holds the loopback address")
            << u"serverIP"_s << QRect(80, 32, 105, 18) << u"127.0.0.1"_s;
    QTest::newRow("StartServer") << u"StartServer"_s << QRect(280, 48, 89, 25) << u"サーバ開始"_s;
    QTest::newRow("chat starts empty at the left edge") << u"chat"_s << QRect(0, 56, 273, 113) << QString();
    QTest::newRow("Connect") << u"Connect"_s << QRect(280, 80, 89, 25) << u"接続"_s;
    QTest::newRow("Close") << u"Close"_s << QRect(280, 112, 89, 25) << u"切断\u30FB中止"_s;
    QTest::newRow("showS") << u"showS"_s << QRect(280, 144, 89, 25) << u"参加者一覧"_s;
    QTest::newRow("TalkStr starts empty") << u"TalkStr"_s << QRect(0, 176, 273, 18) << QString();
    QTest::newRow("Talk is lower than the other buttons")
            << u"Talk"_s << QRect(280, 176, 89, 17) << u"発言"_s;
}

void tst_Form1::layout()
{
    QFETCH(QString, control);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    const auto *widget = form.findChild<QWidget *>(control);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), &form);
    QCOMPARE(widget->geometry(), geometry);
    if (control != u"Gorvel1")
        QCOMPARE(textOf(widget), text);
    QVERIFY(widget->isEnabled());
    if (auto *button = qobject_cast<const QPushButton *>(widget)) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
}

void tst_Form1::windowAtStart()
{
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    QCOMPARE(form.windowTitle(), u"Tavix Gorvel サンプル"_s);
    QCOMPARE(form.Gorvel1, room);
    // 5565 x 2955 twips, and no resizing
    QCOMPARE(form.size(), QSize(371, 197));
    QCOMPARE(form.minimumSize(), QSize(371, 197));
    QCOMPARE(form.maximumSize(), QSize(371, 197));

    QVERIFY(form.chat->isReadOnly());
    QVERIFY(form.chat->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(form.chat->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    QCOMPARE(form.chat->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(form.chat->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.aname->maxLength(), QLineEdit().maxLength());
    QCOMPARE(form.TalkStr->maxLength(), QLineEdit().maxLength());

    // Nothing runs until the user acts.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(*room->calls, QStringList());
    QCOMPARE(form.chat->toPlainText(), QString());
    QCOMPARE(buttons(form), u"SC"_s);
}

void tst_Form1::opening_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("sentName");
    QTest::addColumn<QString>("open");

    QTest::newRow("StartServer hosts under the preset name")
            << u"StartServer"_s << u"ぺぽらん"_s << u"127.0.0.1"_s << 5120
            << u"サーバ起動中..."_s << u"ぺぽらん"_s << u"OpenServer()"_s;
    QTest::newRow("Connect joins under the preset name")
            << u"Connect"_s << u"ぺぽらん"_s << u"127.0.0.1"_s << 5120
            << u"接続中..."_s << u"ぺぽらん"_s << u"OpenClient()"_s;
    QTest::newRow("an empty name box hosts as 名無し")
            << u"StartServer"_s << QString() << u"127.0.0.1"_s << 5120
            << u"サーバ起動中..."_s << u"名無し"_s << u"OpenServer()"_s;
    QTest::newRow("an empty name box joins as 名無し")
            << u"Connect"_s << QString() << u"127.0.0.1"_s << 5120
            << u"接続中..."_s << u"名無し"_s << u"OpenClient()"_s;
    QTest::newRow("a name of blanks is sent as it is")
            << u"Connect"_s << u"  "_s << u"127.0.0.1"_s << 5120
            << u"接続中..."_s << u"  "_s << u"OpenClient()"_s;
    QTest::newRow("a malformed address is passed on unchanged")
            << u"Connect"_s << u"Bob"_s << u" 999.1.x "_s << 5120
            << u"接続中..."_s << u"Bob"_s << u"OpenClient()"_s;
    QTest::newRow("an empty address is passed on")
            << u"StartServer"_s << u"Bob"_s << QString() << 5120
            << u"サーバ起動中..."_s << u"Bob"_s << u"OpenServer()"_s;
    QTest::newRow("an injected port reaches the component")
            << u"Connect"_s << u"Bob"_s << u"::1"_s << 40123
            << u"接続中..."_s << u"Bob"_s << u"OpenClient()"_s;
}

// Status line, then disabling, then name / address / port / room size, then
// the open; the name box keeps what the user left in it.
void tst_Form1::opening()
{
    QFETCH(QString, button);
    QFETCH(QString, name);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, status);
    QFETCH(QString, sentName);
    QFETCH(QString, open);

    auto *room = new RecordingGorvel;
    Form1 form(room, port);
    form.aname->setText(name);
    form.serverIP->setText(address);
    room->observe = [&form] { return buttons(form) + u' ' + logLines(form).join(u'/'); };
    new EnabledWatcher(room, form.StartServer);
    new EnabledWatcher(room, form.Connect);

    form.findChild<QPushButton *>(button)->click();

    const QString busy = u" | -- /"_s + status;
    const QStringList expected{
        u"StartServer disabled | -C /"_s + status,
        u"Connect disabled"_s + busy,
        u"SetData(name,%1)"_s.arg(sentName) + busy,
        u"setServerAddress(%1)"_s.arg(address) + busy,
        u"setPort(%1)"_s.arg(port) + busy,
        u"setMaxMembers(5)"_s + busy,
        open + busy,
    };
    QCOMPARE(*room->calls, expected);
    QCOMPARE(logLines(form), QStringList({QString(), status}));
    QCOMPARE(form.aname->text(), name);
    QCOMPARE(buttons(form), u"--"_s);
    QVERIFY(form.Close->isEnabled());
    QVERIFY(form.showS->isEnabled());
    QVERIFY(form.Talk->isEnabled());
}

void tst_Form1::busyUntilDisconnected_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("status");
    QTest::newRow("after StartServer") << u"StartServer"_s << u"サーバ起動中..."_s;
    QTest::newRow("after Connect") << u"Connect"_s << u"接続中..."_s;
}

void tst_Form1::busyUntilDisconnected()
{
    QFETCH(QString, button);
    QFETCH(QString, status);

    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    form.findChild<QPushButton *>(button)->click();
    QCOMPARE(buttons(form), u"--"_s);
    room->calls->clear();

    // Close only asks; the window waits for the component's word.
    form.Close->click();
    QCOMPARE(*room->calls, QStringList{u"CloseConnection()"_s});
    QCOMPARE(buttons(form), u"--"_s);
    QCOMPARE(logLines(form), QStringList({QString(), status}));

    room->raiseDisconnected();
    QCOMPARE(buttons(form), u"SC"_s);
    QCOMPARE(logLines(form), QStringList({QString(), status, u"切断しました。"_s}));

    room->raiseDisconnected();
    QCOMPARE(buttons(form), u"SC"_s);
    QCOMPARE(logLines(form),
             QStringList({QString(), status, u"切断しました。"_s, u"切断しました。"_s}));
    QVERIFY(form.Close->isEnabled() && form.showS->isEnabled() && form.Talk->isEnabled());
    QCOMPARE(*room->calls, QStringList{u"CloseConnection()"_s});

    // Idle again: the buttons open once more.
    form.findChild<QPushButton *>(button)->click();
    QCOMPARE(buttons(form), u"--"_s);
    QCOMPARE(logLines(form).size(), 5);
}

void tst_Form1::closeWhileIdleOnlyAsks()
{
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    form.Close->click();
    form.Close->click();
    QCOMPARE(*room->calls, QStringList({u"CloseConnection()"_s, u"CloseConnection()"_s}));
    QCOMPARE(form.chat->toPlainText(), QString());
    QCOMPARE(buttons(form), u"SC"_s);
}

void tst_Form1::dataChanged_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("line"); // null: nothing written

    const QString none;
    QTest::newRow("an arrival") << 3 << u"cnt"_s << u"1"_s << u"Aさん が\u3000きました"_s;
    QTest::newRow("a departure") << 3 << u"cnt"_s << u"0"_s << u"Aさん が\u3000いなくなりました"_s;
    QTest::newRow("presence 2 writes nothing") << 3 << u"cnt"_s << u"2"_s << none;
    QTest::newRow("presence empty writes nothing") << 3 << u"cnt"_s << QString() << none;
    QTest::newRow("presence ' 1' writes nothing") << 3 << u"cnt"_s << u" 1"_s << none;
    QTest::newRow("a chat line") << 3 << u"chat"_s << u"hello"_s << u"A > hello"_s;
    QTest::newRow("an empty chat line still names the sender") << 3 << u"chat"_s << QString()
                                                               << u"A > "_s;
    QTest::newRow("a chat line is written unchanged")
            << 3 << u"chat"_s << u"  <b>1</b> \t"_s << u"A >   <b>1</b> \t"_s;
    QTest::newRow("a chat line saying 1 under key chat")
            << 3 << u"chat"_s << u"1"_s << u"A > 1"_s;
    QTest::newRow("keys are case-sensitive: Chat") << 3 << u"Chat"_s << u"hello"_s << none;
    QTest::newRow("keys are case-sensitive: CNT") << 3 << u"CNT"_s << u"1"_s << none;
    QTest::newRow("a rename shows the held and the new name")
            << 3 << u"name"_s << u"B"_s
            << u"A さんは\u3001\u300CB\u300Dさんに名前を変更しました"_s;
    QTest::newRow("an unknown key writes nothing") << 3 << u"color"_s << u"1"_s << none;
    QTest::newRow("an unknown slot is asked as it is")
            << 7 << u"cnt"_s << u"1"_s << u"さん が\u3000きました"_s;
    QTest::newRow("slot 0") << 0 << u"chat"_s << u"x"_s << u"Zero > x"_s;
}

void tst_Form1::dataChanged()
{
    QFETCH(int, index);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, line);

    auto *room = new RecordingGorvel;
    room->setMember(0, u"Zero"_s, u"1"_s);
    room->setMember(3, u"A"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);

    room->raiseDataChanged(qint16(index), key, value);

    if (line.isNull()) {
        QCOMPARE(*room->calls, QStringList());
        QCOMPARE(form.chat->toPlainText(), QString());
    } else {
        QCOMPARE(*room->calls, QStringList{u"GetMemberData(%1,name)"_s.arg(index)});
        QCOMPARE(logLines(form), QStringList({QString(), line}));
    }
    QCOMPARE(buttons(form), u"SC"_s);
}

void tst_Form1::appendsAtEndWhateverTheCaret_data()
{
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::newRow("caret at the start") << 0 << 0;
    QTest::newRow("caret in the middle of a line") << 5 << 5;
    QTest::newRow("a selection in the middle") << 3 << 9;
    QTest::newRow("a selection made backwards") << 9 << 3;
    QTest::newRow("everything selected") << 0 << -1;
}

void tst_Form1::appendsAtEndWhateverTheCaret()
{
    QFETCH(int, anchor);
    QFETCH(int, position);

    auto *room = new RecordingGorvel;
    room->setMember(1, u"A"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    room->raiseDataChanged(1, u"chat"_s, u"first"_s);
    room->raiseDataChanged(1, u"chat"_s, u"second"_s);
    const QString before = form.chat->toPlainText();

    QTextCursor cursor(form.chat->document());
    cursor.setPosition(anchor);
    cursor.setPosition(position < 0 ? before.size() : position, QTextCursor::KeepAnchor);
    form.chat->setTextCursor(cursor);

    room->raiseDataChanged(1, u"chat"_s, u"third"_s);

    const QString after = form.chat->toPlainText();
    QCOMPARE(after, before + u"\nA > third"_s);
    QCOMPARE(logLines(form), QStringList({QString(), u"A > first"_s, u"A > second"_s, u"A > third"_s}));
    // The caret follows at the end of the turn, before anything is painted.
    QTRY_VERIFY(!form.chat->textCursor().hasSelection()
                && form.chat->textCursor().position() == after.size());
}

void tst_Form1::keepsNewestLineInView_data()
{
    QTest::addColumn<bool>("spread"); // one line per event-loop turn
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("first"); // the log's first line then
    QTest::newRow("lines in one turn") << false << 100 << QString();
    QTest::newRow("lines spread over turns") << true << 100 << QString();
    // The empty first line goes first, then the oldest.
    QTest::newRow("more lines than the log keeps, in one turn")
        << false << 2 * Form1::MaxLogLines + 10 << u"A > %1"_s.arg(Form1::MaxLogLines + 11);
}

void tst_Form1::keepsNewestLineInView()
{
    QFETCH(bool, spread);
    QFETCH(int, lines);
    QFETCH(QString, first);
    auto *room = new RecordingGorvel;
    room->setMember(1, u"A"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    for (int i = 0; i < lines; ++i) {
        room->raiseDataChanged(1, u"chat"_s, QString::number(i));
        if (spread)
            QCoreApplication::processEvents();
        QVERIFY(form.chat->document()->blockCount() < 2 * Form1::MaxLogLines);
    }
    QScrollBar *bar = form.chat->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0 && newestLineInView(form));
    QVERIFY(caretAtEnd(form));

    bar->setValue(0); // the user scrolls back
    room->raiseDataChanged(1, u"chat"_s, u"newest"_s);
    QTRY_VERIFY(bar->value() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(newestLineInView(form));
    QCOMPARE(logLines(form).size(), std::min(lines + 2, Form1::MaxLogLines));
    QCOMPARE(logLines(form).constFirst(), first);
    QCOMPARE(logLines(form).constLast(), u"A > newest"_s);

    // A line too long for the box wraps instead of scrolling sideways.
    room->raiseDataChanged(1, u"chat"_s, QString(400, u'x'));
    QTRY_VERIFY(form.chat->document()->lastBlock().layout()->lineCount() > 1);
}

void tst_Form1::memberList_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("occupants"); // "presence:name" per slot
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("members in slots 0 and 3 of 5")
            << 5 << QStringList{u"1:A"_s, u"0:X"_s, u":Y"_s, u"1:B"_s, u"2:Z"_s}
            << QStringList{u"0,cnt"_s, u"0,name"_s, u"1,cnt"_s, u"2,cnt"_s, u"3,cnt"_s,
                           u"3,name"_s, u"4,cnt"_s}
            << QStringList{u"A"_s, u"B"_s};
    QTest::newRow("only 1 counts as present")
            << 3 << QStringList{u"01:X"_s, u"1 :Y"_s, u"true:Z"_s}
            << QStringList{u"0,cnt"_s, u"1,cnt"_s, u"2,cnt"_s} << QStringList();
    QTest::newRow("slots beyond the room size are not asked")
            << 2 << QStringList{u"0:X"_s, u"1:A"_s, u"1:B"_s}
            << QStringList{u"0,cnt"_s, u"1,cnt"_s, u"1,name"_s} << QStringList{u"A"_s};
    QTest::newRow("an empty name is an empty line")
            << 1 << QStringList{u"1:"_s} << QStringList{u"0,cnt"_s, u"0,name"_s}
            << QStringList{QString()};
    QTest::newRow("a room of no slots lists nothing")
            << 0 << QStringList{u"1:A"_s} << QStringList() << QStringList();
    QTest::newRow("a negative room size lists nothing")
            << -1 << QStringList{u"1:A"_s} << QStringList() << QStringList();
}

void tst_Form1::memberList()
{
    QFETCH(int, size);
    QFETCH(QStringList, occupants);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, lines);

    auto *room = new RecordingGorvel;
    room->maxMembers = qint16(size);
    for (qsizetype i = 0; i < occupants.size(); ++i) {
        const auto fields = occupants.at(i).split(u':');
        room->setMember(qint16(i), fields.at(1), fields.at(0));
    }
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);

    form.showS->click();

    QStringList expectedCalls{u"MaxMembers()"_s};
    for (const QString &question : asked)
        expectedCalls << u"GetMemberData(%1)"_s.arg(question);
    QCOMPARE(*room->calls, expectedCalls);
    if (lines.isEmpty())
        QCOMPARE(form.chat->toPlainText(), QString());
    else
        QCOMPARE(logLines(form), QStringList{QString()} + lines);
}

void tst_Form1::talk_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sent");
    QTest::newRow("a line is sent") << u"hello"_s << true;
    QTest::newRow("a Japanese line is sent") << u"こんにちは\u3000世界"_s << true;
    QTest::newRow("blanks count as a line") << u"   "_s << true;
    QTest::newRow("an empty box sends nothing") << QString() << false;
}

void tst_Form1::talk()
{
    QFETCH(QString, text);
    QFETCH(bool, sent);

    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    form.TalkStr->setText(text);
    form.Close->setFocus();
    room->calls->clear();

    form.Talk->click();

    QCOMPARE(*room->calls, sent ? QStringList{u"SetData(chat,%1)"_s.arg(text)} : QStringList());
    QCOMPARE(form.TalkStr->text(), QString());
    QCOMPARE(QApplication::focusWidget(), form.TalkStr);
    // The window does not echo its own line; the component's event does.
    QCOMPARE(form.chat->toPlainText(), QString());
}

// The component may raise events from inside SetData; the line is written
// before the entry box is emptied.
void tst_Form1::eventsNestedInSetDataWhileTalking()
{
    auto *room = new RecordingGorvel;
    room->setMember(2, u"Me"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    room->echoSetDataAs(2);
    room->observe = [&form] { return form.TalkStr->text(); };
    form.TalkStr->setText(u"hello"_s);

    form.Talk->click();

    QCOMPARE(*room->calls, QStringList({u"SetData(chat,hello) | hello"_s,
                                        u"GetMemberData(2,name) | hello"_s}));
    QCOMPARE(logLines(form), QStringList({QString(), u"Me > hello"_s}));
    QCOMPARE(form.TalkStr->text(), QString());
}

// An open that fails at once reports Disconnected from inside the open; a
// rename echoed inside PrepareRoom's SetData shows the name held before.
void tst_Form1::eventsNestedInOpening()
{
    auto *room = new RecordingGorvel;
    room->setMember(0, u"Old"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    room->echoSetDataAs(0);
    room->onOpen = [room] { room->raiseDisconnected(); };
    QSignalSpy disconnected(room, &RecordingGorvel::Disconnected);

    form.StartServer->click();

    QCOMPARE(disconnected.size(), 1);
    QCOMPARE(logLines(form),
             QStringList({QString(), u"サーバ起動中..."_s,
                          u"Old さんは\u3001\u300Cぺぽらん\u300Dさんに名前を変更しました"_s,
                          u"切断しました。"_s}));
    QCOMPARE(buttons(form), u"SC"_s);
    QCOMPARE(*room->calls,
             QStringList({u"SetData(name,ぺぽらん)"_s, u"GetMemberData(0,name)"_s,
                          u"setServerAddress(127.0.0.1)"_s, u"setPort(5120)"_s,
                          u"setMaxMembers(5)"_s, u"OpenServer()"_s}));
}

QTEST_MAIN(tst_Form1)
#include "tst_form1.moc"
