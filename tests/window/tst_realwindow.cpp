// The built program on a real X server (Xvfb), driven by real X input through
// xdotool. This test's own process talks to the same server to read the
// clipboard, to take a screenshot and to see what windows ask of the desktop.
// It runs at the scale its environment sets: QT_SCALE_FACTOR, or the screen
// density TAVIX_TEST_DPI (96 by default) that the X server announces.
#include "form1.h"
#include "gorvel.h"
#include "hostkeydialog.h"
#include "passphrasedialog.h"
#include "knownhosts.h"
#include "recordinggorvel.h"
#include "room.h"
#include "roombrowser.h"
#include "../configfolder.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QDir>
#include <QGlyphRun>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTextLayout>

#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>

using namespace Qt::StringLiterals;

extern char **environ;

namespace {

constexpr int Timeout = 10'000;  // ms, for one tool run
constexpr int Patience = 60'000; // ms, for the program to show what it was sent

// An Xvfb of our own, started before QApplication so that Qt connects to it.
class XServer
{
public:
    ~XServer() { stop(); }

    bool start()
    {
        const QString path = QStandardPaths::findExecutable(u"Xvfb"_s);
        if (path.isEmpty())
            return false;
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        // -displayfd picks a free display and writes its number to the pipe.
        const QByteArray exe = path.toLocal8Bit();
        const QByteArray fd = QByteArray::number(fds[1]);
        const char *argv[] = {exe.constData(), "-displayfd", fd.constData(), "-screen", "0",
                              "800x600x24", "-nolisten", "tcp", nullptr};
        const int spawned = posix_spawn(&m_pid, exe.constData(), nullptr, nullptr,
                                        const_cast<char **>(argv), environ);
        close(fds[1]);
        if (spawned != 0) {
            close(fds[0]);
            m_pid = 0;
            return false;
        }
        QByteArray number;
        pollfd reader{fds[0], POLLIN, 0};
        while (!number.endsWith('\n') && poll(&reader, 1, Timeout) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1)
                break;
            number.append(c);
        }
        close(fds[0]);
        if (!number.endsWith('\n')) {
            stop();
            return false;
        }
        display = ":" + number.trimmed();
        return true;
    }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }

    QByteArray display;

private:
    pid_t m_pid = 0;
};

XServer *xserver = nullptr;

// A client of the test's X server of its own. It announces the screen's
// density as desktops do (Xft.dpi), and, there being no window manager,
// receives the requests that windows send the manager through the root.
class Desktop
{
public:
    Desktop(const QByteArray &display, int dpi)
        : m_connection(xcb_connect(display.constData(), nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, root, XCB_CW_EVENT_MASK, &events);
        // Root properties live as long as some client is connected: this one.
        const QByteArray resources = "Xft.dpi:\t" + QByteArray::number(dpi) + '\n';
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, root,
                            XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 8,
                            uint32_t(resources.size()), resources.constData());
        m_state = atom("_NET_WM_STATE");
        m_attention = atom("_NET_WM_STATE_DEMANDS_ATTENTION");
    }
    ~Desktop() { xcb_disconnect(m_connection); }

    bool ready() const { return m_attention != XCB_NONE; }

    // The windows that asked for attention since the last call.
    QList<WId> attentionRequests()
    {
        QList<WId> windows;
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
            const auto *message = reinterpret_cast<const xcb_client_message_event_t *>(event);
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == m_state
                && message->data.data32[0] == 1 && message->data.data32[1] == m_attention)
                windows.append(message->window);
            std::free(event);
        }
        return windows;
    }

private:
    xcb_atom_t atom(const char *name)
    {
        const auto cookie = xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name);
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(m_connection, cookie, nullptr);
        const xcb_atom_t found = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return found;
    }

    xcb_connection_t *m_connection;
    xcb_atom_t m_state = XCB_NONE;
    xcb_atom_t m_attention = XCB_NONE;
};

Desktop *desktop = nullptr;
qreal expectedScale = 1;
QString screenTag; // in file names: which scale made them

// The native pixels of a logical point at this scale.
QPoint native(const QPoint &point)
{
    return (QPointF(point) * expectedScale).toPoint();
}

// The glyph indexes of `text` laid out in `font`, fallback fonts included.
QList<quint32> glyphsOf(const QString &text, const QFont &font, QStringList *families = nullptr)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QList<quint32> glyphs;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        glyphs += run.glyphIndexes();
        if (families)
            families->append(run.rawFont().familyName());
    }
    return glyphs;
}

} // namespace

class tst_RealWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowIsMapped();
    void nameTypedWithRealKeys();
    void enterSendsAndEmptiesEntry();
    void screenshotShowsJapanese();
    void glyphCheckCanFail();
    void captionsFitTheirControls();
    void attention_data();
    void attention();
    void aChangedKeyAsksTheUser_data();
    void aChangedKeyAsksTheUser();
    void aDoorIsHostedAndOpenedWithRealKeys();
    void foundRoomsAreOfferedInTheAddressBox();
    void typedTextFindsRoomsAndArrowsOnlyLook_data();
    void typedTextFindsRoomsAndArrowsOnlyLook();

private:
    QAbstractItemView *typeInAddressBox(Form1 &form, const QString &text);
    QString xdotool(const QStringList &args);
    void clickAt(const QPoint &point);
    QString copyFocusedText();
    QString replaceFocusedText(const QString &text);

    QProcess m_program;
    QString m_window;
    QString m_xdotool;
};

QString tst_RealWindow::xdotool(const QStringList &args)
{
    QProcess tool;
    tool.start(m_xdotool, args);
    if (!tool.waitForFinished(Timeout)) {
        tool.kill();
        tool.waitForFinished();
        return {};
    }
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

void tst_RealWindow::clickAt(const QPoint &point)
{
    const QPoint at = native(point);
    xdotool({u"mousemove"_s, u"--window"_s, m_window, QString::number(at.x()),
             QString::number(at.y()), u"click"_s, u"1"_s});
}

// Selects the focused box's text and copies it, all with real keys; the
// keyboard goes to the window that has the X focus, as a user's would.
QString tst_RealWindow::copyFocusedText()
{
    xdotool({u"key"_s, u"ctrl+a"_s, u"ctrl+c"_s});
    QCoreApplication::processEvents(); // learn of the new clipboard owner
    return QGuiApplication::clipboard()->text();
}

// Typing non-Latin text makes xdotool remap a key for a moment, and on a busy
// machine the program may read a key before it learns the new map; so the
// typing is repeated, within bounds, until the box reads back what was typed.
QString tst_RealWindow::replaceFocusedText(const QString &text)
{
    QString shown;
    const QDeadlineTimer deadline(Patience);
    do {
        xdotool({u"key"_s, u"ctrl+a"_s, u"BackSpace"_s});
        xdotool({u"type"_s, u"--delay"_s, u"30"_s, text});
        for (int read = 0; read < 3 && shown != text; ++read)
            shown = copyFocusedText();
    } while (shown != text && !deadline.hasExpired());
    return shown;
}

void tst_RealWindow::initTestCase()
{
    if (!xserver)
        QSKIP("Xvfb is not installed");
    QCOMPARE(QGuiApplication::platformName(), u"xcb"_s);
    QVERIFY2(desktop && desktop->ready(), "no X connection of the test's own");
    QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), expectedScale);
    m_xdotool = QStandardPaths::findExecutable(u"xdotool"_s);
    QVERIFY2(!m_xdotool.isEmpty(), "xdotool is not installed");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    env.insert(u"DISPLAY"_s, QString::fromLatin1(xserver->display));
    m_program.setProcessEnvironment(env);
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_program.start(QStringLiteral(TAVIX_PROGRAM), {});
    QVERIFY2(m_program.waitForStarted(Timeout), "the program did not start");

    QTRY_VERIFY_WITH_TIMEOUT(
            !(m_window = xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^Tavix Gorvel"_s}))
                     .isEmpty(),
            Timeout);
    QVERIFY2(!m_window.contains(u'\n'), "more than one window");
    // No window manager here: give the window the keyboard ourselves.
    xdotool({u"windowfocus"_s, u"--sync"_s, m_window});
    QCOMPARE(xdotool({u"getwindowfocus"_s}), m_window);
}

void tst_RealWindow::cleanupTestCase()
{
    if (m_program.state() != QProcess::NotRunning) {
        m_program.terminate();
        if (!m_program.waitForFinished(Timeout))
            m_program.kill();
        m_program.waitForFinished(Timeout);
    }
}

void tst_RealWindow::windowIsMapped()
{
    const QString geometry = xdotool({u"getwindowgeometry"_s, m_window});
    const QSize size = QSize(371, 197) * expectedScale;
    QVERIFY2(geometry.contains(u"Geometry: %1x%2"_s.arg(size.width()).arg(size.height())),
             qPrintable(geometry));
    QCOMPARE(m_program.state(), QProcess::Running);
}

// The name box has the focus at start; Japanese typed as X key symbols
// arrives intact.
void tst_RealWindow::nameTypedWithRealKeys()
{
    QCOMPARE(replaceFocusedText(u"テスト名"_s), u"テスト名"_s);
}

void tst_RealWindow::enterSendsAndEmptiesEntry()
{
    clickAt(QRect(0, 176, 273, 18).center()); // TalkStr
    QCOMPARE(replaceFocusedText(u"hello"_s), u"hello"_s);
    xdotool({u"key"_s, u"Return"_s, u"x"_s});
    // Only what was typed after Enter is left in the box.
    QTRY_COMPARE_WITH_TIMEOUT(copyFocusedText(), u"x"_s, Patience);
    xdotool({u"key"_s, u"KP_Enter"_s, u"y"_s});
    QTRY_COMPARE_WITH_TIMEOUT(copyFocusedText(), u"y"_s, Patience);
    QCOMPARE(m_program.state(), QProcess::Running);
}

// Every caption and log text is laid out in the fonts of the window's own
// controls, as this X server's fonts give them: none may fall back to the
// missing-glyph box (index 0).
void tst_RealWindow::screenshotShowsJapanese()
{
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(m_window.toULongLong());
    QCOMPARE(shot.size(), QSize(371, 197) * expectedScale);
    const QString file = QDir::current().absoluteFilePath(u"tavix-window%1.png"_s.arg(screenTag));
    QVERIFY(shot.save(file));
    qInfo("screenshot: %s", qPrintable(file));

    auto *room = new RecordingGorvel;
    room->setMember(0, u"ぺぽらん"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    form.StartServer->click();
    room->raiseDataChanged(0, u"cnt"_s, u"1"_s);
    room->raiseDataChanged(0, u"chat"_s, u"こんにちは"_s);
    room->raiseDataChanged(0, u"name"_s, u"名無し"_s);
    room->raiseDataChanged(0, u"cnt"_s, u"0"_s);
    room->raiseDisconnected();

    QList<std::pair<QString, QFont>> texts{{form.windowTitle(), form.font()}};
    for (const QLabel *label : {form.Label1, form.Label2})
        texts.append({label->text(), label->font()});
    for (const QPushButton *button :
         {form.StartServer, form.Connect, form.Close, form.showS, form.Talk})
        texts.append({button->text(), button->font()});
    texts.append({form.aname->text(), form.aname->font()});
    const QStringList lines = form.chat->toPlainText().split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 6);
    for (const QString &line : lines)
        texts.append({line, form.chat->font()});

    for (const auto &[text, font] : texts) {
        QStringList families;
        const QList<quint32> glyphs = glyphsOf(text, font, &families);
        QVERIFY2(!glyphs.isEmpty(), qPrintable(text));
        QVERIFY2(!glyphs.contains(0u), qPrintable(text + u" in "_s + families.join(u", "_s)));
    }
}

// The check above can fail: a character no font holds gives glyph 0.
void tst_RealWindow::glyphCheckCanFail()
{
    QVERIFY(glyphsOf(u"\uE000"_s, QApplication::font()).contains(0u));
}

// Every caption, laid out in its control's font at this scale, fits in the
// room its control gives it: none is cut off.
void tst_RealWindow::captionsFitTheirControls()
{
    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    QList<std::pair<const QWidget *, QRect>> captions;
    for (const QLabel *label : {form.Label1, form.Label2})
        captions.append({label, label->contentsRect()});
    for (const QPushButton *button :
         {form.StartServer, form.Connect, form.Close, form.showS, form.Talk}) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        captions.append({button, button->style()->subElementRect(QStyle::SE_PushButtonContents,
                                                                 &option, button)});
    }
    for (const auto &[control, room] : captions) {
        const QString text = control->property("text").toString();
        const QSizeF needed = QFontMetricsF(control->font(), control).size(Qt::TextSingleLine, text);
        QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(),
                 qPrintable(u"%1 needs %2x%3, has %4x%5"_s.arg(control->objectName())
                                    .arg(needed.width()).arg(needed.height())
                                    .arg(room.width()).arg(room.height())));
    }
}

void tst_RealWindow::attention_data()
{
    QTest::addColumn<int>("index"); // the local member is in slot 0
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("asks");

    QTest::newRow("another member's line asks for attention") << 1 << u"chat"_s << u"hi"_s << true;
    QTest::newRow("another member's arrival asks for attention") << 1 << u"cnt"_s << u"1"_s << true;
    QTest::newRow("another member's departure asks for attention")
            << 1 << u"cnt"_s << u"0"_s << true;
    QTest::newRow("one's own line does not") << 0 << u"chat"_s << u"hi"_s << false;
    QTest::newRow("one's own arrival does not") << 0 << u"cnt"_s << u"1"_s << false;
    QTest::newRow("a change of name does not") << 1 << u"name"_s << u"B"_s << false;
}

// A window in the background asks the desktop to mark it and leaves the
// keyboard where it is.
void tst_RealWindow::attention()
{
    QFETCH(int, index);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, asks);

    auto *room = new RecordingGorvel;
    room->ownSlot = 0;
    room->setMember(0, u"Me"_s, u"1"_s);
    room->setMember(1, u"A"_s, u"1"_s);
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    // Asks after the window does: its request bounds the wait for the window's.
    QWidget marker;
    for (QWidget *window : {static_cast<QWidget *>(&form), &marker}) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    QVERIFY(!form.isActiveWindow());
    desktop->attentionRequests();

    room->raiseDataChanged(qint16(index), key, value);
    QApplication::alert(&marker);

    QList<WId> requests;
    QTRY_VERIFY_WITH_TIMEOUT((requests += desktop->attentionRequests()).contains(marker.winId()),
                             Timeout);
    QCOMPARE(requests.contains(form.winId()), asks);
    QCOMPARE(xdotool({u"getwindowfocus"_s}), m_window);
    QVERIFY(!form.isActiveWindow());
}

void tst_RealWindow::aChangedKeyAsksTheUser_data()
{
    QTest::addColumn<bool>("trust");
    QTest::addColumn<QString>("announced"); // the key the room chosen announced, if one was
    QTest::newRow("declined with Escape: not connected, the kept key stays") << false << QString();
    QTest::newRow("trusted: joined at once, the new key kept") << true << QString();
    QTest::newRow("a host that is not the room chosen: told, nothing to trust, the kept key stays")
        << false << u"0123456789abcdef"_s;
}

// A host whose key is not the one kept for its address: the log and the
// buttons say what they always say, and a dialog lets the user decide.
void tst_RealWindow::aChangedKeyAsksTheUser()
{
    QFETCH(bool, trust);
    QFETCH(QString, announced);
    const ConfigFolder config;

    TAVIXLibCtl::Room host;
    host.setPort(0);
    host.setData(u"name"_s, u"H"_s);
    host.openServer();
    const int port = host.boundPort();
    QVERIFY(port > 0);
    const QByteArray kept = QByteArray(32, '\xab');
    TAVIXLibCtl::KnownHosts known;
    QVERIFY(known.remember(u"127.0.0.1"_s, quint16(port), kept));

    Form1 form(new TAVIXLibCtl::Gorvel, port);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    if (!announced.isEmpty())
        form.Gorvel1->ExpectHostKey(form.serverIP->text(), announced);
    form.Connect->click();
    HostKeyDialog *dialog = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = form.findChild<HostKeyDialog *>()) && dialog->isVisible(), Timeout);
    QCOMPARE(form.chat->toPlainText(), u"\r\n接続中...\r\n切断しました。"_s.replace(u"\r\n"_s, u"\n"_s));
    QVERIFY(form.Connect->isEnabled() && form.StartServer->isEnabled());

    // What it says, to the eye and to a screen reader: where, both keys in
    // the grouped form the status shows, and what to do.
    const QString shown = QString::fromLatin1(host.hostFingerprint().toHex());
    const QString everything = dialog->text() + dialog->informativeText();
    const QString other = announced.isEmpty() ? u"abab abab abab abab abab abab abab abab"_s : u"0123 4567 89ab cdef"_s;
    for (const QString &part : {u"127.0.0.1"_s, QString::number(port), other, shown.left(4) + u' ' + shown.mid(4, 4),
                                u"ホストの鍵"_s})
        QVERIFY2(everything.contains(part), qPrintable(part + u" in "_s + everything));
    QVERIFY(dialog->accessibleDescription().contains(other));
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    // A screen reader names it by its title; only a changed key can be trusted.
    QCOMPARE(dialog->accessibleName(), dialog->windowTitle());
    QCOMPARE(dialog->trustButton() != nullptr, announced.isEmpty());
    QCOMPARE(dialog->defaultButton(), dialog->declineButton());
    QCOMPARE(dialog->escapeButton(), dialog->declineButton());

    // Real X input, to the dialog's own window.
    const QString box = QString::number(dialog->winId());
    xdotool({u"windowfocus"_s, u"--sync"_s, box});
    if (trust) {
        const QPoint at = native(dialog->trustButton()->mapTo(dialog, dialog->trustButton()->rect().center()));
        xdotool({u"mousemove"_s, u"--window"_s, box, QString::number(at.x()), QString::number(at.y()),
                 u"click"_s, u"1"_s});
    } else {
        xdotool({u"key"_s, u"Escape"_s});
    }
    QTRY_VERIFY_WITH_TIMEOUT(!form.findChild<HostKeyDialog *>(), Timeout);
    const auto *room = form.Gorvel1->room();
    if (!trust) {
        QCOMPARE(room->state(), TAVIXLibCtl::Room::State::Idle);
        QCOMPARE(known.pins(u"127.0.0.1"_s, quint16(port)).fingerprints, QList{kept});
        QVERIFY(form.Connect->isEnabled());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(room->state(), TAVIXLibCtl::Room::State::Joined, Timeout);
    QCOMPARE(known.pins(u"127.0.0.1"_s, quint16(port)).fingerprints, QList{host.hostFingerprint()});
    QVERIFY(form.chat->toPlainText().startsWith(u"\n接続中...\n切断しました。\n接続中...\n"_s));
    QVERIFY(!form.Connect->isEnabled());
}

// One window hosts a room with a door from its shortcut, typing the
// passphrase twice; another joins it, is asked for the passphrase, types a
// wrong one, is asked again with the reason, and gets in with the right one.
// Every key is a real X key.
void tst_RealWindow::aDoorIsHostedAndOpenedWithRealKeys()
{
    const ConfigFolder config;
    const auto dialogOf = [](Form1 &form) {
        PassphraseDialog *dialog = nullptr;
        return QTest::qWaitFor([&] { return (dialog = form.findChild<PassphraseDialog *>()) && dialog->isVisible(); },
                               Timeout)
                       ? dialog
                       : nullptr;
    };
    // Typed again until the field holds it: see replaceFocusedText().
    const auto typeInto = [&](PassphraseDialog *dialog, const QStringList &typed) {
        xdotool({u"windowfocus"_s, u"--sync"_s, QString::number(dialog->winId())});
        QLineEdit *const fields[] = {dialog->field(), dialog->again()};
        for (qsizetype i = 0; i < typed.size(); ++i) {
            if (i > 0)
                xdotool({u"key"_s, u"Tab"_s});
            const QDeadlineTimer deadline(Patience);
            do {
                xdotool({u"key"_s, u"ctrl+a"_s, u"BackSpace"_s});
                xdotool({u"type"_s, u"--delay"_s, u"30"_s, typed.at(i)});
            } while (!QTest::qWaitFor([&] { return fields[i]->text() == typed.at(i); }, 500) && !deadline.hasExpired());
        }
        xdotool({u"key"_s, u"Return"_s});
    };

    Form1 host(new TAVIXLibCtl::Gorvel, 0);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QVERIFY2(host.Gorvel1->toolTip().contains(u"Ctrl+Shift+S"_s), qPrintable(host.Gorvel1->toolTip()));
    xdotool({u"windowfocus"_s, u"--sync"_s, QString::number(host.winId())});
    xdotool({u"key"_s, u"ctrl+shift+s"_s});
    PassphraseDialog *asked = dialogOf(host);
    QVERIFY(asked);
    QCOMPARE(asked->windowModality(), Qt::WindowModal);
    QCOMPARE(asked->field()->echoMode(), QLineEdit::Password);
    QVERIFY(!asked->okButton()->isEnabled()); // nothing typed yet
    typeInto(asked, {u"sesame 7"_s, u"sesame 7"_s});
    const auto *hosted = host.Gorvel1->room();
    QTRY_COMPARE_WITH_TIMEOUT(hosted->state(), TAVIXLibCtl::Room::State::Hosting, Timeout);
    QVERIFY(hosted->hasDoor());
    QVERIFY2(host.Gorvel1->accessibleDescription().contains(u"合言葉あり"_s),
             qPrintable(host.Gorvel1->accessibleDescription()));
    QTRY_COMPARE(host.chat->toPlainText(), u"\nサーバ起動中...\nぺぽらんさん が\u3000きました"_s);

    Form1 member(new TAVIXLibCtl::Gorvel, hosted->boundPort());
    member.show();
    QVERIFY(QTest::qWaitForWindowExposed(&member));
    member.Connect->click();
    for (const auto &[typed, why] : {std::pair{u"sesame 8"_s, u"合言葉が必要です"_s},
                                     std::pair{u"sesame 7"_s, u"合言葉が違います"_s}}) {
        asked = dialogOf(member);
        QVERIFY(asked);
        QVERIFY2(asked->accessibleDescription().contains(why), qPrintable(asked->accessibleDescription()));
        QCOMPARE(asked->accessibleName(), asked->windowTitle());
        typeInto(asked, {typed});
        QTRY_VERIFY_WITH_TIMEOUT(!member.findChild<PassphraseDialog *>() || member.findChild<PassphraseDialog *>() != asked,
                                 Timeout);
    }
    QTRY_COMPARE_WITH_TIMEOUT(member.Gorvel1->room()->state(), TAVIXLibCtl::Room::State::Joined, Timeout);
    QTRY_VERIFY(host.chat->toPlainText().endsWith(u"ぺぽらんさん が\u3000きました"_s));
    QVERIFY(member.chat->toPlainText().startsWith(
            u"\n接続中...\n切断しました。\n接続中...\n切断しました。\n接続中...\n"_s));
}

// Rooms as the control's list would hold them (fed to it here, as its
// browser would): one joined before, a full one on another port, one whose
// name differs by an invisible mark, one whose name holds another's address
// and one whose name is hostile.
void offerRooms(TAVIXLibCtl::RoomBrowser &found)
{
    QVERIFY(TAVIXLibCtl::KnownHosts().remember(u"192.168.1.20"_s, 5120, QByteArray::fromHex("0123456789abcdef") + QByteArray(24, 'k')));
    found.offer(u"ぺぽらん (desk-7)"_s, u"192.168.1.20"_s, 5120, {"v=3", "n=2", "max=5", "key=0123456789abcdef"});
    found.offer(u"はなこ (desk-9)"_s, u"10.0.0.7"_s, 6000, {"v=3", "n=5", "max=5", "key=fedcba9876543210"});
    found.offer(u"ぺぽらん (desk-7)\u200B"_s, u"10.0.0.8"_s, 5120, {"v=3"});
    found.offer(u"ぺぽらん (desk-7) 192.168.1.20 2/5人"_s, u"10.0.0.9"_s, 5120, {"v=3"});
    found.offer(u"\u202E"_s + QString(5000, u'長'), u"10.0.0.10"_s, 5120, {"v=3"});
}

// What the list offers, as `role` gives it.
QStringList offered(const QAbstractItemView *popup, int role = Qt::DisplayRole)
{
    QStringList entries;
    for (int row = 0; popup->isVisible() && row < popup->model()->rowCount(); ++row)
        entries << popup->model()->index(row, 0).data(role).toString();
    return entries;
}

// While not in a room, the address box offers the rooms found on the
// network, all of them with Down, each with what tells it apart. Choosing
// one puts its address in the box and binds the next join to its key; a
// hostile name stays one bounded, readable line.
void tst_RealWindow::foundRoomsAreOfferedInTheAddressBox()
{
    const ConfigFolder config;
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    offerRooms(*form.Gorvel1->foundRooms());
    QAbstractItemView *popup = typeInAddressBox(form, {});
    QVERIFY(popup);

    xdotool({u"key"_s, u"Down"_s});
    QTRY_VERIFY_WITH_TIMEOUT(popup->isVisible(), Timeout);
    QCOMPARE(offered(popup), (QStringList{u"はなこ (desk-9) 10.0.0.7:6000 5/5人(満員) 鍵 fedc ba98"_s,
                                          u"ぺぽらん (desk-7) 192.168.1.20 2/5人 鍵 0123 4567 ⚠似た名前 前に参加"_s,
                                          u"ぺぽらん (desk-7) 10.0.0.8 ⚠似た名前"_s,
                                          u"ぺぽらん (desk-7) 192.168.1.20 2/5人 10.0.0.9"_s,
                                          u"\uFFFD"_s + QString(62, u'長') + u"… 10.0.0.10"_s}));
    QCOMPARE(popup->accessibleName(), u"見つかったルーム"_s);
    // Wider than the box, so that an ordinary entry is seen whole, or as
    // wide as the screen lets it.
    const bool whole = popup->viewport()->width() >= popup->fontMetrics().horizontalAdvance(offered(popup).at(1));
    QVERIFY(whole || popup->geometry().right() >= form.screen()->availableGeometry().right());
    QVERIFY(form.screen()->geometry().contains(popup->geometry()));
    xdotool({u"key"_s, u"Down"_s, u"Down"_s, u"Return"_s});
    QTRY_VERIFY_WITH_TIMEOUT(!popup->isVisible(), Timeout);
    QCOMPARE(form.serverIP->text(), u"192.168.1.20"_s);
    QCOMPARE(room->calls->filter(u"ExpectHostKey"_s), QStringList{u"ExpectHostKey(192.168.1.20,0123456789abcdef)"_s});
    // Edited by hand, the box binds nothing.
    xdotool({u"type"_s, u"0"_s});
    QTRY_COMPARE_WITH_TIMEOUT(room->calls->filter(u"ExpectHostKey"_s).size(), 2, Timeout);
    QCOMPARE(room->calls->filter(u"ExpectHostKey"_s).last(), u"ExpectHostKey(,)"_s);
    QCOMPARE(form.chat->toPlainText(), QString());
}

// Shows `form`, types `text` into its address box with real keys and returns
// the list of rooms it offers; nothing when the box did not take the text.
QAbstractItemView *tst_RealWindow::typeInAddressBox(Form1 &form, const QString &text)
{
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return nullptr;
    xdotool({u"windowfocus"_s, u"--sync"_s, QString::number(form.winId())});
    form.serverIP->setFocus();
    xdotool({u"key"_s, u"ctrl+a"_s, u"BackSpace"_s});
    if (!text.isEmpty())
        xdotool({u"type"_s, text});
    const bool typed = QTest::qWaitFor([&] { return form.serverIP->text() == text; }, Timeout);
    return typed ? form.serverIP->completer()->popup() : nullptr;
}

void tst_RealWindow::typedTextFindsRoomsAndArrowsOnlyLook_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("offered"); // the rooms' addresses
    QTest::addColumn<int>("downs");
    QTest::addColumn<QString>("looked");      // the box after the Down keys
    QTest::addColumn<QString>("then");        // a key, or "click" elsewhere in the window
    QTest::addColumn<QString>("box");
    const QStringList tens{u"10.0.0.7"_s, u"10.0.0.8"_s, u"10.0.0.9"_s, u"10.0.0.10"_s};
    QTest::newRow("an address matches addresses, never a name that holds it")
        << u"192.168.1.20"_s << QStringList{u"192.168.1.20"_s} << 0 << u"192.168.1.20"_s << QString()
        << u"192.168.1.20"_s;
    QTest::newRow("Escape after a look with the arrow keys puts back what was typed")
        << u"10.0.0."_s << tens << 2 << u"10.0.0.8"_s << u"Escape"_s << u"10.0.0."_s;
    QTest::newRow("a click elsewhere after a look puts back what was typed")
        << u"10.0.0."_s << tens << 1 << u"10.0.0.7:6000"_s << u"click"_s << u"10.0.0."_s;
    QTest::newRow("Return chooses the room looked at, with its port")
        << u"10.0.0."_s << tens << 1 << u"10.0.0.7:6000"_s << u"Return"_s << u"10.0.0.7:6000"_s;
}

void tst_RealWindow::typedTextFindsRoomsAndArrowsOnlyLook()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, offered);
    QFETCH(int, downs);
    QFETCH(QString, looked);
    QFETCH(QString, then);
    QFETCH(QString, box);
    const ConfigFolder config;
    Form1 form(new RecordingGorvel, TAVIXLibCtl::RoomDefaults::Port);
    offerRooms(*form.Gorvel1->foundRooms());
    QAbstractItemView *popup = typeInAddressBox(form, typed);
    QVERIFY(popup);
    QTRY_COMPARE_WITH_TIMEOUT(::offered(popup, TAVIXLibCtl::RoomBrowser::AddressRole), offered, Timeout);
    for (int i = 0; i < downs; ++i)
        xdotool({u"key"_s, u"Down"_s});
    QTRY_COMPARE_WITH_TIMEOUT(form.serverIP->text(), looked, Timeout);
    QCOMPARE(::offered(popup, TAVIXLibCtl::RoomBrowser::AddressRole), offered);
    if (then == u"click"_s) {
        const QPoint at = native(form.chat->geometry().center());
        xdotool({u"mousemove"_s, u"--window"_s, QString::number(form.winId()), QString::number(at.x()),
                 QString::number(at.y()), u"click"_s, u"1"_s});
    } else if (!then.isEmpty()) {
        xdotool({u"key"_s, then});
    }
    QTRY_VERIFY_WITH_TIMEOUT(then.isEmpty() || !popup->isVisible(), Timeout);
    QCOMPARE(form.serverIP->text(), box);
}

int main(int argc, char *argv[])
{
    XServer server;
    std::optional<Desktop> session;
    if (server.start()) {
        xserver = &server;
        qputenv("DISPLAY", server.display);
        qputenv("QT_QPA_PLATFORM", "xcb");
        const int dpi = qEnvironmentVariableIntValue("TAVIX_TEST_DPI");
        session.emplace(server.display, dpi > 0 ? dpi : 96);
        desktop = &*session;
        const qreal factor = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                     ? qgetenv("QT_SCALE_FACTOR").toDouble()
                                     : 1.0;
        expectedScale = (dpi > 0 ? dpi / 96.0 : 1.0) * factor;
        if (dpi > 0)
            screenTag += u"-%1dpi"_s.arg(dpi);
        if (factor != 1.0)
            screenTag += u"-x%1"_s.arg(factor);
    }
    QApplication app(argc, argv);
    tst_RealWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_realwindow.moc"
