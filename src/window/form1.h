#pragma once

#include <QElapsedTimer>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

#include <array>
#include <optional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QFocusEvent;

namespace TAVIXLibCtl {
class Gorvel;
}

// The chat room's one window. The controls carry their own names and each
// handler is named after its control and event. Apart from the controls the
// window keeps no state: names, presence and the room size are asked of the
// room component whenever they are needed.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // The window as the program runs it: a real room component on the
    // room's default port.
    explicit Form1(QWidget *parent = nullptr);
    // Hosts `component` (the window takes ownership) and hands it `port`
    // when a room is opened; tests put in a recording double or a free port.
    Form1(TAVIXLibCtl::Gorvel *component, int port, QWidget *parent = nullptr);
    ~Form1() override;

    // The log keeps this many lines, the newest; older ones leave the top.
    static constexpr int MaxLogLines = 20'000;

    QLabel *const Label1;
    QLineEdit *const aname;
    TAVIXLibCtl::Gorvel *const Gorvel1;
    QLabel *const Label2;
    QLineEdit *const serverIP;
    QPushButton *const StartServer;
    QPlainTextEdit *const chat;
    QPushButton *const Connect;
    QPushButton *const Close;
    QPushButton *const showS;
    QLineEdit *const TalkStr;
    QPushButton *const Talk;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void StartServer_Click();
    void Connect_Click();
    void Close_Click();
    void aname_LostFocus();
    void Gorvel1_DataChanged(qint16 index, int second, const QString &key, const QString &value);
    void Gorvel1_Disconnected();
    void Gorvel1_HostKeyChanged(const QString &address, int port, const QByteArray &remembered,
                                const QByteArray &shown);
    void Gorvel1_HostKeyNotAsAnnounced(const QString &address, int port, const QString &announced,
                                       const QByteArray &shown);
    void Gorvel1_PassphraseRequired(const QString &address, int port, const QString &why);
    void serverIP_RoomChosen(const QString &target, const QString &key);
    // Hosts a room with a door: from StartServer's context menu, or its shortcut.
    void StartServer_WithDoor();
    void showS_Click();
    void Talk_Click();
    void TalkStr_KeyDown(int keyCode, Qt::KeyboardModifiers shift);

    void AddChat(const QString &text);
    void askAttention(qint16 index);
    void showNewLines();
    bool userActsOnLog(const QObject *watched, const QEvent *event) const;
    void EnableStart(bool enabled);
    void PrepareRoom();

    void layOut();
    void connectHandlers();
    void offerDoor();
    bool focusStaysInWindow(const QFocusEvent &event) const;
    std::array<QObject *, 5> filtered() const;

    template <typename Handler>
    void run(Handler &&handler) noexcept;
    template <typename... Args>
    auto guarded(void (Form1::*handler)(Args...));
    [[noreturn]] void fail(const QString &message);

    const int m_port;
    std::optional<QTextCursor> m_pendingLines; // lines in the log, not yet laid out or shown
    struct
    {
        QTextBlockFormat block;
        QTextCharFormat text;
    } m_lineFormats; // what they are written in
    QTimer m_showTimer;
    QElapsedTimer m_sinceShown;
    bool m_failed = false;
};
