#include "form1.h"

#include "gorvel.h"
#include "hostkeydialog.h"
#include "passphrasedialog.h"
#include "memberkeys.h"
#include "roombrowser.h"
#include "roomcompleter.h"
#include "roomdefaults.h"
#include "roomtext.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

using namespace Qt::StringLiterals;
using TAVIXLibCtl::Gorvel;
namespace MemberKeys = TAVIXLibCtl::MemberKeys;
namespace RoomText = TAVIXLibCtl::RoomText;

namespace {

// Key code the entry box reacts to: both Enter keys give it.
constexpr int EnterKeyCode = 13;

// New log lines are laid out and scrolled into view at most this often (ms).
constexpr qint64 FrameMs = 16;

// The layout is drawn in twips; at 96 dpi 15 twips make one logical pixel,
// and Qt's device-pixel ratio carries that to denser screens.
constexpr int TwipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return {left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
            height / TwipsPerPixel};
}

// Enter clicks the focused button, as Space does. Qt gives Enter only to
// auto-default buttons, and those make themselves the default button while
// they hold the focus; this window has no default button.
class PushButton : public QPushButton
{
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            click();
        else
            QPushButton::keyPressEvent(event);
    }
};

QPushButton *makeButton(const QString &caption, QWidget *parent)
{
    auto *button = new PushButton(caption, parent);
    // Enter and Escape act only on the control that has the focus.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel *makeLabel(const QString &caption, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// A plain top-level QWidget reaches screen readers as a filler; as a window
// (a frame on AT-SPI) its title is read when it is activated.
QAccessibleInterface *accessibleForm1(const QString &className, QObject *object)
{
    if (className == QLatin1StringView("Form1") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

int keyCodeOf(const QKeyEvent &event)
{
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: // keypad
        return EnterKeyCode;
    default:
        return event.key();
    }
}

} // namespace

Form1::Form1(QWidget *parent)
    : Form1(new Gorvel, TAVIXLibCtl::RoomDefaults::Port, parent)
{
}

Form1::Form1(Gorvel *component, int port, QWidget *parent)
    : QWidget(parent)
    , Label1(makeLabel(u"なまえ"_s, this))
    , aname(new QLineEdit(u"ぺぽらん"_s, this))
    , Gorvel1(component)
    , Label2(makeLabel(u"サーバIP"_s, this))
    , serverIP(new QLineEdit(u"127.0.0.1"_s, this))
    , StartServer(makeButton(u"サーバ開始"_s, this))
    , chat(new QPlainTextEdit(this))
    , Connect(makeButton(u"接続"_s, this))
    , Close(makeButton(u"切断・中止"_s, this))
    , showS(makeButton(u"参加者一覧"_s, this))
    , TalkStr(new QLineEdit(this))
    , Talk(makeButton(u"発言"_s, this))
    , m_port(port)
{
    Q_ASSERT(component);
    Gorvel1->setParent(this);

    // The log is read-only but can be selected and copied; it wraps long
    // lines, keeps no undo history and only its newest lines, so that a
    // room that talks for days does not fill the machine's memory.
    chat->setMaximumBlockCount(MaxLogLines);
    chat->setReadOnly(true);
    chat->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    chat->setFocusPolicy(Qt::StrongFocus);
    chat->setTabChangesFocus(true);
    chat->setUndoRedoEnabled(false);
    chat->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    chat->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    chat->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // What a screen reader says for each control: the labels name their
    // boxes; the log and the entry box have no visible label of their own.
    static const bool accessibleWindow = (QAccessible::installFactory(accessibleForm1), true);
    Q_UNUSED(accessibleWindow);
    Label1->setBuddy(aname);
    Label2->setBuddy(serverIP);
    chat->setAccessibleName(u"チャットログ"_s);
    TalkStr->setAccessibleName(u"発言内容"_s);
    TalkStr->setAccessibleDescription(u"Enter キーで発言します"_s);
    new RoomCompleter(Gorvel1->foundRooms(), serverIP);

    setWindowTitle(u"Tavix Gorvel サンプル"_s);
    layOut();
    connectHandlers();
    offerDoor();
}

Form1::~Form1()
{
    // ~QWidget later sends focus-out to the focused child and destroys the
    // component, which may still signal: neither may reach this window once
    // its own part is gone.
    for (QObject *control : filtered())
        control->removeEventFilter(this);
    disconnect(Gorvel1, nullptr, this, nullptr);
}

// Every handler runs through here: an error from a control or the component
// ends the program in one place.
template <typename Handler>
void Form1::run(Handler &&handler) noexcept
{
    if (m_failed)
        return;
    try {
        handler();
    } catch (const std::exception &error) {
        fail(QString::fromUtf8(error.what()));
    } catch (...) {
        fail(tr("An unknown error occurred."));
    }
}

template <typename... Args>
auto Form1::guarded(void (Form1::*handler)(Args...))
{
    return [this, handler](Args... args) { run([&] { (this->*handler)(args...); }); };
}

void Form1::fail(const QString &message)
{
    // The box runs its own event loop; no other handler may start meanwhile.
    m_failed = true;
    QMessageBox::critical(this, windowTitle(), message);
    // Leave at once: the failed handler must not go on, and neither an
    // exception through the event loop nor static destruction under a live
    // QApplication is safe.
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

void Form1::layOut()
{
    setFixedSize(twips(0, 0, 5565, 2955).size());

    const std::pair<QWidget *, const char *> names[] = {
        {Label1, "Label1"},   {aname, "aname"},   {Gorvel1, "Gorvel1"},
        {Label2, "Label2"},   {serverIP, "serverIP"}, {StartServer, "StartServer"},
        {chat, "chat"},       {Connect, "Connect"}, {Close, "Close"},
        {showS, "showS"},     {TalkStr, "TalkStr"}, {Talk, "Talk"}};
    for (const auto &[control, name] : names)
        control->setObjectName(QLatin1StringView(name));

    Label1->setGeometry(twips(240, 120, 855, 255));
    aname->setGeometry(twips(1200, 120, 1575, 270));
    Gorvel1->setGeometry(twips(3000, 120, 2415, 495));
    Label2->setGeometry(twips(240, 480, 855, 255));
    serverIP->setGeometry(twips(1200, 480, 1575, 270));
    StartServer->setGeometry(twips(4200, 720, 1335, 375));
    chat->setGeometry(twips(0, 840, 4095, 1695));
    Connect->setGeometry(twips(4200, 1200, 1335, 375));
    Close->setGeometry(twips(4200, 1680, 1335, 375));
    showS->setGeometry(twips(4200, 2160, 1335, 375));
    TalkStr->setGeometry(twips(0, 2640, 4095, 270));
    Talk->setGeometry(twips(4200, 2640, 1335, 255));

    // Keyboard order; the component and the labels take no focus.
    QWidget *const order[] = {aname, Connect, StartServer, Close, serverIP,
                              chat, TalkStr, Talk, showS};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void Form1::connectHandlers()
{
    connect(StartServer, &QPushButton::clicked, this, guarded(&Form1::StartServer_Click));
    connect(Connect, &QPushButton::clicked, this, guarded(&Form1::Connect_Click));
    connect(Close, &QPushButton::clicked, this, guarded(&Form1::Close_Click));
    connect(showS, &QPushButton::clicked, this, guarded(&Form1::showS_Click));
    connect(Talk, &QPushButton::clicked, this, guarded(&Form1::Talk_Click));
    connect(Gorvel1, &Gorvel::DataChanged, this, guarded(&Form1::Gorvel1_DataChanged));
    connect(Gorvel1, &Gorvel::Disconnected, this, guarded(&Form1::Gorvel1_Disconnected));
    connect(Gorvel1, &Gorvel::HostKeyChanged, this, guarded(&Form1::Gorvel1_HostKeyChanged));
    connect(Gorvel1, &Gorvel::HostKeyNotAsAnnounced, this, guarded(&Form1::Gorvel1_HostKeyNotAsAnnounced));
    connect(Gorvel1, &Gorvel::PassphraseRequired, this, guarded(&Form1::Gorvel1_PassphraseRequired));
    connect(static_cast<RoomCompleter *>(serverIP->completer()), &RoomCompleter::roomChosen, this,
            guarded(&Form1::serverIP_RoomChosen));
    m_showTimer.setSingleShot(true);
    connect(&m_showTimer, &QTimer::timeout, this, &Form1::showNewLines);
    for (QObject *control : filtered())
        control->installEventFilter(this);
}

// The controls whose events eventFilter sees.
std::array<QObject *, 5> Form1::filtered() const
{
    return {aname, TalkStr, chat, chat->viewport(), chat->verticalScrollBar()};
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (m_pendingLines && userActsOnLog(watched, event))
        showNewLines();
    if (watched == aname && event->type() == QEvent::FocusOut) {
        if (focusStaysInWindow(static_cast<const QFocusEvent &>(*event)))
            run([this] { aname_LostFocus(); });
    } else if (watched == TalkStr && event->type() == QEvent::KeyPress) {
        // An input method's commit arrives as QInputMethodEvent, so the Enter
        // that ends a composition never gets here.
        const auto &key = static_cast<const QKeyEvent &>(*event);
        run([&] { TalkStr_KeyDown(keyCodeOf(key), key.modifiers()); });
    }
    return QWidget::eventFilter(watched, event);
}

// True when the focus went to another control of this window, not when the
// window as a whole lost activation or a popup opened.
bool Form1::focusStaysInWindow(const QFocusEvent &event) const
{
    if (event.reason() == Qt::ActiveWindowFocusReason || event.reason() == Qt::PopupFocusReason)
        return false;
    // Qt names the new focus widget before it sends the focus-out.
    const QWidget *next = QApplication::focusWidget();
    return next && next != aname && isAncestorOf(next);
}

// --- the log --------------------------------------------------------------

void Form1::AddChat(const QString &text)
{
    // The text goes into the log at once; laying it out, placing the caret
    // after it and scrolling it into view wait for the next turn, and then
    // come at most once a frame: a line per turn from the network would
    // otherwise cost a layout and a paint each. The open edit block holds
    // the layout back. A cursor at the document's end finds it without
    // copying the log, whatever the user has selected.
    if (!m_pendingLines) {
        m_pendingLines.emplace(chat->document());
        m_pendingLines->movePosition(QTextCursor::End);
        m_pendingLines->beginEditBlock();
        // Looked up once a frame, not in the document's trees for every
        // line: each line takes the formats at the end, as insertText()
        // would give it.
        m_lineFormats = {m_pendingLines->blockFormat(), m_pendingLines->charFormat()};
        m_lineFormats.text.clearProperty(QTextFormat::ObjectType);
        const qint64 sinceShown = m_sinceShown.isValid() ? m_sinceShown.elapsed() : FrameMs;
        m_showTimer.start(int(std::clamp<qint64>(FrameMs - sinceShown, 0, FrameMs)));
    }
    // What inserting "\r\n" + text makes, without the two characters the
    // document would keep unseen for every line.
    m_pendingLines->insertBlock(m_lineFormats.block, m_lineFormats.text);
    m_pendingLines->insertText(text, m_lineFormats.text);
    // The oldest lines leave when an edit block ends: a long run of lines in
    // one frame ends one on the way, unseen.
    if (chat->document()->blockCount() >= 2 * MaxLogLines) {
        m_pendingLines->endEditBlock();
        m_pendingLines->beginEditBlock();
    }
}

// Someone else's arrival, departure or line marks the window on the taskbar
// while the user is elsewhere, without taking the focus; the desktop clears
// the mark when the window is activated again.
void Form1::askAttention(qint16 index)
{
    if (!isActiveWindow() && index != Gorvel1->OwnSlot())
        QApplication::alert(this);
}

void Form1::showNewLines()
{
    if (!m_pendingLines)
        return;
    m_showTimer.stop();
    QTextCursor end = *std::exchange(m_pendingLines, std::nullopt);
    end.endEditBlock();
    chat->setTextCursor(end);
    chat->ensureCursorVisible();
    m_sinceShown.start();
}

// What the user does to the log, and what shows it anew, first brings it up
// to date: keys, clicks, the wheel, the context menu and the caret act on
// the log as it is, and the window is not shown with lines missing.
bool Form1::userActsOnLog(const QObject *watched, const QEvent *event) const
{
    if (watched != chat && watched != chat->viewport() && watched != chat->verticalScrollBar())
        return false;
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::FocusIn:
    case QEvent::Show:
    case QEvent::Resize:
        return true;
    default:
        return false;
    }
}

void Form1::EnableStart(bool enabled)
{
    StartServer->setEnabled(enabled);
    Connect->setEnabled(enabled);
}

// --- connection control ----------------------------------------------------

void Form1::PrepareRoom()
{
    EnableStart(false);
    QString name = aname->text();
    if (name.isEmpty())
        name = RoomText::fallbackName();
    Gorvel1->SetData(MemberKeys::Name, name);
    Gorvel1->setServerAddress(serverIP->text());
    Gorvel1->setPort(m_port);
    Gorvel1->setMaxMembers(TAVIXLibCtl::RoomDefaults::Size);
}

void Form1::StartServer_Click()
{
    AddChat(RoomText::hosting());
    PrepareRoom();
    Gorvel1->OpenServer();
}

void Form1::Connect_Click()
{
    AddChat(RoomText::connecting());
    PrepareRoom();
    Gorvel1->OpenClient();
}

void Form1::Close_Click()
{
    Gorvel1->CloseConnection();
}

void Form1::aname_LostFocus()
{
    const QString name = aname->text();
    if (name.isEmpty())
        return;
    if (name != Gorvel1->GetData(MemberKeys::Name))
        Gorvel1->SetData(MemberKeys::Name, name);
}

// --- room events -------------------------------------------------------------

void Form1::Gorvel1_DataChanged(qint16 index, int second, const QString &key,
                                const QString &value)
{
    Q_UNUSED(second);
    using namespace MemberKeys;
    // Four separate tests, not a chain: each that holds asks the room for the
    // member's name, then writes its line.
    if (key == Presence && value == Present) {
        AddChat(RoomText::arrived(Gorvel1->GetMemberData(index, Name)));
        askAttention(index);
    }
    if (key == Presence && value == Absent) {
        AddChat(RoomText::left(Gorvel1->GetMemberData(index, Name)));
        askAttention(index);
    }
    if (key == Chat) {
        AddChat(RoomText::said(Gorvel1->GetMemberData(index, Name), value));
        askAttention(index);
    }
    if (key == Name)
        AddChat(RoomText::renamed(Gorvel1->GetMemberData(index, Name), value));
}

void Form1::Gorvel1_Disconnected()
{
    EnableStart(true);
    AddChat(RoomText::disconnected());
}

// The host at an address the member joined before shows another key: the
// user decides, in a dialog that does not hold up the event loop, whether to
// trust it and join again at once. Nothing is trusted by default.
void Form1::Gorvel1_HostKeyChanged(const QString &address, int port, const QByteArray &remembered,
                                   const QByteArray &shown)
{
    auto *dialog = new HostKeyDialog(address, port, remembered, shown, this);
    connect(dialog, &HostKeyDialog::trusted, this, [this, shown] {
        run([&] {
            Gorvel1->TrustHostKey(shown);
            Connect_Click();
        });
    });
    dialog->open();
}

// A room chosen from those found was not the host that answered at its
// address: the user learns why, with both keys, in a dialog that does not
// hold up the event loop.
void Form1::Gorvel1_HostKeyNotAsAnnounced(const QString &address, int port, const QString &announced,
                                          const QByteArray &shown)
{
    HostKeyDialog::notAsAnnounced(address, port, announced, shown, this)->open();
}

// A room's door did not open: the user is asked for its passphrase, with
// why, and joins again with it; nothing happens unless they give one.
void Form1::Gorvel1_PassphraseRequired(const QString &address, int port, const QString &why)
{
    auto *dialog = new PassphraseDialog(address, port, why, this);
    connect(dialog, &PassphraseDialog::chosen, this, [this](const QString &passphrase) {
        run([&] {
            Gorvel1->OfferPassphrase(passphrase);
            Connect_Click();
        });
    });
    dialog->open();
}

// サーバ開始 itself always hosts an open room at once. A room with a door
// is a step aside: its context menu, or a shortcut, both named in the
// status's tooltip.
void Form1::offerDoor()
{
    const QString caption = u"合言葉付きでサーバ開始..."_s;
    const QKeySequence keys(Qt::CTRL | Qt::SHIFT | Qt::Key_S);
    auto *withDoor = new QAction(caption, this);
    withDoor->setShortcut(keys);
    withDoor->setShortcutContext(Qt::WindowShortcut);
    addAction(withDoor);
    connect(withDoor, &QAction::triggered, this, guarded(&Form1::StartServer_WithDoor));
    StartServer->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StartServer, &QWidget::customContextMenuRequested, this, [this, caption, keys](const QPoint &at) {
        auto *menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->setAccessibleName(StartServer->text());
        QAction *item = menu->addAction(caption, this, guarded(&Form1::StartServer_WithDoor));
        item->setShortcut(keys); // shown beside it; the window's action takes the keys
        item->setEnabled(StartServer->isEnabled());
        menu->popup(StartServer->mapToGlobal(at));
    });
    Gorvel1->SetStatusHint(u"合言葉付きのルーム: サーバ開始を右クリック、または %1"_s
                                   .arg(keys.toString(QKeySequence::NativeText)));
}

void Form1::StartServer_WithDoor()
{
    if (!StartServer->isEnabled())
        return; // a room is open or opening
    auto *dialog = new PassphraseDialog(this);
    connect(dialog, &PassphraseDialog::chosen, this, [this](const QString &passphrase) {
        run([&] {
            Gorvel1->SetDoor(passphrase);
            StartServer_Click();
        });
    });
    dialog->open();
}

// The next join to the chosen room's address is bound to the key it announced.
void Form1::serverIP_RoomChosen(const QString &target, const QString &key)
{
    Gorvel1->ExpectHostKey(target, key);
}

// --- talking and the member list ---------------------------------------------

void Form1::Talk_Click()
{
    const QString text = TalkStr->text();
    if (!text.isEmpty()) {
        Gorvel1->SetData(MemberKeys::Chat, text);
        TalkStr->setText(QString());
    }
    TalkStr->setFocus(Qt::OtherFocusReason);
}

void Form1::TalkStr_KeyDown(int keyCode, Qt::KeyboardModifiers shift)
{
    Q_UNUSED(shift); // Shift+Enter and Ctrl+Enter send as well
    if (keyCode == EnterKeyCode)
        Talk_Click();
}

void Form1::showS_Click()
{
    const qint16 count = Gorvel1->MaxMembers();
    for (qint16 i = 0; i < count; ++i) {
        if (Gorvel1->GetMemberData(i, MemberKeys::Presence) == MemberKeys::Present)
            AddChat(Gorvel1->GetMemberData(i, MemberKeys::Name));
    }
}
