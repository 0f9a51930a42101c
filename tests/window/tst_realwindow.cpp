// The built program on a real X server (Xvfb), driven by real X input through
// xdotool. This test's own process talks to the same server to read the
// clipboard and to take a screenshot.
#include "form1.h"
#include "recordinggorvel.h"

#include <QApplication>
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
#include <QTest>
#include <QTextLayout>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

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

private:
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
    xdotool({u"mousemove"_s, u"--window"_s, m_window, QString::number(point.x()),
             QString::number(point.y()), u"click"_s, u"1"_s});
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
    QVERIFY2(geometry.contains(u"Geometry: 371x197"_s), qPrintable(geometry));
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
    QCOMPARE(shot.size(), QSize(371, 197));
    const QString file = QDir::current().absoluteFilePath(u"tavix-window.png"_s);
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

int main(int argc, char *argv[])
{
    XServer server;
    if (server.start()) {
        xserver = &server;
        qputenv("DISPLAY", server.display);
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    tst_RealWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_realwindow.moc"
