#include "form1.h"
#include "formdriver.h"
#include "recordinggorvel.h"

#include <QInputMethodEvent>
#include <QPointer>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace FormDriver;

namespace {

// Does what a table row names; false for a name it does not know.
bool act(Form1 &form, const QString &action)
{
    const std::pair<QStringView, std::pair<Qt::Key, Qt::KeyboardModifiers>> keys[] = {
        {u"Return", {Qt::Key_Return, {}}},
        {u"keypad Enter", {Qt::Key_Enter, Qt::KeypadModifier}},
        {u"Shift+Return", {Qt::Key_Return, Qt::ShiftModifier}},
        {u"Ctrl+Return", {Qt::Key_Return, Qt::ControlModifier}},
        {u"Alt+keypad Enter", {Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier}},
        {u"Escape", {Qt::Key_Escape, {}}},
        {u"Space", {Qt::Key_Space, {}}},
    };
    if (action == u"click Talk") {
        click(form, form.Talk);
        return true;
    }
    for (const auto &[name, press] : keys) {
        if (action == name) {
            key(form, press.first, press.second);
            return true;
        }
    }
    return false;
}

// A window on a room that already holds the preset name: leaving the name
// box sends nothing.
struct NamedWindow
{
    RecordingGorvel *room = new RecordingGorvel;
    Form1 form{room, TAVIXLibCtl::RoomDefaults::Port};

    NamedWindow() { room->local[u"name"_s] = u"ぺぽらん"_s; }
};

} // namespace

// Focus and keys, sent to the window so that Qt's own routing decides which
// control gets them.
class tst_Form1Input : public QObject
{
    Q_OBJECT

private slots:
    void focusStartsInName();
    void tabOrder();

    void leavingNameBox_data();
    void leavingNameBox();
    void leavingNameBoxRunsBeforeClick();
    void deactivatingWindowKeepsName();
    void destroyingWindowReachesNoHandler();
    void focusAfterOpeningButtonIsDisabled_data();
    void focusAfterOpeningButtonIsDisabled();

    void sending_data();
    void sending();
    void keyOnFocusedControl_data();
    void keyOnFocusedControl();
    void inputMethodCommitDoesNotSend();

    void actingOnLogShowsItsNewestLines_data();
    void actingOnLogShowsItsNewestLines();
};

void tst_Form1Input::focusStartsInName()
{
    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    QCOMPARE(QApplication::focusWidget(), form.aname);
}

void tst_Form1Input::tabOrder()
{
    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    const QList<QWidget *> order{form.aname,    form.Connect, form.StartServer,
                                 form.Close,    form.serverIP, form.chat,
                                 form.TalkStr,  form.Talk,    form.showS};
    for (qsizetype i = 1; i <= order.size(); ++i) {
        key(form, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), order.at(i % order.size()));
    }
    for (qsizetype i = order.size() - 1; i >= 0; --i) {
        key(form, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), order.at(i));
    }
}

void tst_Form1Input::leavingNameBox_data()
{
    QTest::addColumn<QString>("typed");  // null: the box is left as preset
    QTest::addColumn<QString>("held");   // what the component holds
    QTest::addColumn<QString>("leaveBy");
    QTest::addColumn<QStringList>("calls");

    const QStringList askOnly{u"GetData(name)"_s};
    QTest::newRow("the preset name not yet held is sent on Tab")
            << QString() << QString() << u"tab"_s
            << QStringList{u"GetData(name)"_s, u"SetData(name,ぺぽらん)"_s};
    QTest::newRow("a typed Japanese name is sent on a click elsewhere")
            << u"ぴよ"_s << u"ぺぽらん"_s << u"click TalkStr"_s
            << QStringList{u"GetData(name)"_s, u"SetData(name,ぴよ)"_s};
    QTest::newRow("the held name is not sent again") << u"Bob"_s << u"Bob"_s << u"tab"_s << askOnly;
    QTest::newRow("a change of case counts as a new name")
            << u"bob"_s << u"Bob"_s << u"click serverIP"_s
            << QStringList{u"GetData(name)"_s, u"SetData(name,bob)"_s};
    QTest::newRow("blanks are a name") << u"  "_s << u"Bob"_s << u"tab"_s
                                       << QStringList{u"GetData(name)"_s, u"SetData(name,  )"_s};
    QTest::newRow("an emptied box changes nothing") << u""_s << u"Bob"_s << u"backtab"_s
                                                     << QStringList();
    QTest::newRow("clicking the log also leaves the box")
            << u"Eve"_s << QString() << u"click chat"_s
            << QStringList{u"GetData(name)"_s, u"SetData(name,Eve)"_s};
}

void tst_Form1Input::leavingNameBox()
{
    QFETCH(QString, typed);
    QFETCH(QString, held);
    QFETCH(QString, leaveBy);
    QFETCH(QStringList, calls);

    auto *room = new RecordingGorvel;
    if (!held.isNull())
        room->local[u"name"_s] = held;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    if (!typed.isNull()) {
        key(form, Qt::Key_A, Qt::ControlModifier);
        key(form, Qt::Key_Delete);
        type(form, typed);
        QCOMPARE(form.aname->text(), typed);
    }
    QCOMPARE(*room->calls, QStringList()); // typing alone sends nothing

    if (leaveBy == u"tab")
        key(form, Qt::Key_Tab);
    else if (leaveBy == u"backtab")
        key(form, Qt::Key_Backtab, Qt::ShiftModifier);
    else
        click(form, form.findChild<QWidget *>(leaveBy.section(u' ', 1)));
    QVERIFY(!form.aname->hasFocus());

    QCOMPARE(*room->calls, calls);
    QCOMPARE(form.chat->toPlainText(), QString()); // the room echoes, not the window
}

// The name goes to the component before the click that moved the focus runs.
void tst_Form1Input::leavingNameBoxRunsBeforeClick()
{
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    room->observe = [&form] { return form.chat->toPlainText().isEmpty() ? u"log empty"_s : u"log written"_s; };
    type(form, u"X"_s); // after the preset text

    click(form, form.StartServer);

    QCOMPARE(*room->calls,
             QStringList({u"GetData(name) | log empty"_s,
                          u"SetData(name,ぺぽらんX) | log empty"_s,
                          u"SetData(name,ぺぽらんX) | log written"_s,
                          u"setServerAddress(127.0.0.1) | log written"_s,
                          u"setPort(5120) | log written"_s, u"setMaxMembers(5) | log written"_s,
                          u"OpenServer() | log written"_s}));
}

void tst_Form1Input::deactivatingWindowKeepsName()
{
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    type(form, u"Z"_s);

    QWidget other;
    other.setWindowTitle(u"other"_s);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QVERIFY(!form.aname->hasFocus());
    QCOMPARE(*room->calls, QStringList());

    // Back in the window, the focus is still the name box's to give up.
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.aname);
    QCOMPARE(*room->calls, QStringList());
    key(form, Qt::Key_Tab);
    QCOMPARE(*room->calls, QStringList({u"GetData(name)"_s, u"SetData(name,ぺぽらんZ)"_s}));
}

// Closing the window with a changed name in the focused box calls nothing,
// and a component that still signals while it is destroyed reaches no
// handler: the window's own part is gone by then.
void tst_Form1Input::destroyingWindowReachesNoHandler()
{
    auto *room = new RecordingGorvel;
    room->setMember(0, u"A"_s, u"1"_s);
    room->onDestroy = [room] {
        room->raiseDataChanged(0, u"cnt"_s, u"0"_s);
        room->raiseDisconnected();
    };
    const auto calls = room->calls;
    auto *form = new Form1(room, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(*form));
    type(*form, u"Q"_s);
    QPointer<RecordingGorvel> alive(room);

    delete form;

    QVERIFY(alive.isNull());
    QCOMPARE(*calls, QStringList());
}

void tst_Form1Input::focusAfterOpeningButtonIsDisabled_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("StartServer") << u"StartServer"_s;
    QTest::newRow("Connect") << u"Connect"_s;
}

// A disabled button cannot keep the focus; it moves on in tab order to the
// next control that takes it, Close.
void tst_Form1Input::focusAfterOpeningButtonIsDisabled()
{
    QFETCH(QString, button);
    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    QVERIFY(showActive(form));
    click(form, form.findChild<QWidget *>(button));
    QCOMPARE(buttons(form), u"--"_s);
    QCOMPARE(QApplication::focusWidget(), form.Close);
    key(form, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), form.aname);
}

void tst_Form1Input::sending_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("sends"); // when the box holds text

    const std::pair<const char *, bool> actions[] = {
        {"click Talk", true},        {"Return", true},          {"keypad Enter", true},
        {"Shift+Return", true},      {"Ctrl+Return", true},     {"Alt+keypad Enter", true},
        {"Escape", false},           {"Space", false},
    };
    for (const auto &[action, sends] : actions) {
        const QString name = QString::fromLatin1(action);
        QTest::addRow("%s with a line", action) << u"hi あ"_s << name << sends;
        QTest::addRow("%s with an empty box", action) << QString() << name << false;
    }
}

// The Talk button and Enter in the entry box behave alike: a non-empty line
// is sent, the box emptied and focused; an empty one only takes the focus.
void tst_Form1Input::sending()
{
    QFETCH(QString, text);
    QFETCH(QString, action);
    QFETCH(bool, sends);

    NamedWindow window;
    auto *room = window.room;
    Form1 &form = window.form;
    QVERIFY(showActive(form));
    click(form, form.TalkStr);
    QCOMPARE(QApplication::focusWidget(), form.TalkStr);
    type(form, text);
    room->calls->clear();

    QVERIFY2(act(form, action), qPrintable(action));

    const bool acts = action != u"Escape" && action != u"Space";
    QCOMPARE(*room->calls, sends ? QStringList{u"SetData(chat,%1)"_s.arg(text)} : QStringList());
    QCOMPARE(QApplication::focusWidget(), form.TalkStr);
    if (acts)
        QCOMPARE(form.TalkStr->text(), QString());
    QCOMPARE(form.chat->toPlainText(), QString());
    QCOMPARE(buttons(form), u"SC"_s); // no default button took the key
}

void tst_Form1Input::keyOnFocusedControl_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("line"); // null: the log stays empty

    const QStringList opening{u"SetData(name,ぺぽらん)"_s, u"setServerAddress(127.0.0.1)"_s,
                              u"setPort(5120)"_s, u"setMaxMembers(5)"_s};
    QTest::newRow("Return on Connect joins")
            << u"Connect"_s << u"Return"_s << opening + QStringList{u"OpenClient()"_s}
            << u"接続中..."_s;
    QTest::newRow("keypad Enter on StartServer hosts")
            << u"StartServer"_s << u"keypad Enter"_s << opening + QStringList{u"OpenServer()"_s}
            << u"サーバ起動中..."_s;
    QTest::newRow("Return on showS lists the members")
            << u"showS"_s << u"Return"_s << QStringList{u"MaxMembers()"_s} << QString();
    QTest::newRow("Return on Talk sends the entry box's line")
            << u"Talk"_s << u"Return"_s << QStringList{u"SetData(chat,hi)"_s} << QString();
    QTest::newRow("Escape on Connect does nothing")
            << u"Connect"_s << u"Escape"_s << QStringList() << QString();
    QTest::newRow("Return in the server box clicks no button")
            << u"serverIP"_s << u"Return"_s << QStringList() << QString();
    QTest::newRow("Return in the log clicks no button")
            << u"chat"_s << u"Return"_s << QStringList() << QString();
}

// Enter acts on the focused button only; no button ever becomes the default.
void tst_Form1Input::keyOnFocusedControl()
{
    QFETCH(QString, control);
    QFETCH(QString, action);
    QFETCH(QStringList, calls);
    QFETCH(QString, line);

    NamedWindow w;
    QVERIFY(showActive(w.form));
    w.form.TalkStr->setText(u"hi"_s);
    w.form.findChild<QWidget *>(control)->setFocus(Qt::TabFocusReason);
    w.room->calls->clear();

    QVERIFY2(act(w.form, action), qPrintable(action));

    QCOMPARE(*w.room->calls, calls);
    if (line.isNull())
        QCOMPARE(w.form.chat->toPlainText(), QString());
    else
        QCOMPARE(logLines(w.form), QStringList({QString(), line}));
    for (const QPushButton *button : w.form.findChildren<QPushButton *>())
        QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
}

// An input method hands over its text without an Enter key event; only the
// user's next Enter sends it.
void tst_Form1Input::inputMethodCommitDoesNotSend()
{
    NamedWindow window;
    auto *room = window.room;
    Form1 &form = window.form;
    QVERIFY(showActive(form));
    click(form, form.TalkStr);
    room->calls->clear();

    QInputMethodEvent composing(u"にほんご"_s, {});
    QApplication::sendEvent(QGuiApplication::focusObject(), &composing);
    QInputMethodEvent commit;
    commit.setCommitString(u"日本語"_s);
    QApplication::sendEvent(QGuiApplication::focusObject(), &commit);

    QCOMPARE(form.TalkStr->text(), u"日本語"_s);
    QCOMPARE(*room->calls, QStringList());

    key(form, Qt::Key_Return);
    QCOMPARE(*room->calls, QStringList{u"SetData(chat,日本語)"_s});
    QCOMPARE(form.TalkStr->text(), QString());
}

void tst_Form1Input::actingOnLogShowsItsNewestLines_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("caretAtEnd"); // else where the click put it

    QTest::newRow("Down in the log") << u"Down"_s << true;
    QTest::newRow("a click in the log") << u"click chat"_s << false;
    QTest::newRow("Tab into the log") << u"Tab"_s << true;
}

// New lines wait for the window's next turn; what the user does to the log
// first shows them, so that it acts on the log as it is.
void tst_Form1Input::actingOnLogShowsItsNewestLines()
{
    QFETCH(QString, action);
    QFETCH(bool, caretAtEnd);

    NamedWindow window;
    Form1 &form = window.form;
    window.room->setMember(1, u"A"_s, u"1"_s);
    QVERIFY(showActive(form));
    QWidget *focused = action == u"Tab" ? static_cast<QWidget *>(form.serverIP) : form.chat;
    focused->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 100; ++i)
        window.room->raiseDataChanged(1, u"chat"_s, QString::number(i));
    QVERIFY2(!newestLineInView(form), "the lines were shown before the action");

    if (action == u"click chat")
        click(form, form.chat);
    else
        key(form, action == u"Tab" ? Qt::Key_Tab : Qt::Key_Down);

    QCOMPARE(QApplication::focusWidget(), form.chat);
    QVERIFY(newestLineInView(form));
    QCOMPARE(FormDriver::caretAtEnd(form), caretAtEnd);
    QCOMPARE(logLines(form).size(), 101);
}

QTEST_MAIN(tst_Form1Input)
#include "tst_form1input.moc"
