#pragma once

#include "form1.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

// Drives a Form1 the way a user does: input goes to the window and Qt routes
// it to the control under the pointer or with the focus.
namespace FormDriver {

// The log as lines; it always begins with an empty line once written to.
inline QStringList logLines(const Form1 &form)
{
    return form.chat->toPlainText().split(u'\n');
}

// The end of the log is in view: scrolled to the bottom, the end of the text
// inside the visible area.
inline bool newestLineInView(const Form1 &form)
{
    const QPlainTextEdit *chat = form.chat;
    QTextCursor end(chat->document());
    end.movePosition(QTextCursor::End);
    const QScrollBar *bar = chat->verticalScrollBar();
    return bar->value() == bar->maximum() && chat->viewport()->rect().contains(chat->cursorRect(end));
}

inline bool caretAtEnd(const Form1 &form)
{
    const QTextCursor caret = form.chat->textCursor();
    return !caret.hasSelection() && caret.atEnd();
}

inline QString buttons(const Form1 &form)
{
    return QString(form.StartServer->isEnabled() ? u'S' : u'-')
           + QString(form.Connect->isEnabled() ? u'C' : u'-');
}

inline void click(Form1 &form, QWidget *control)
{
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {},
                      control->mapTo(&form, control->rect().center()));
}

inline void key(Form1 &form, Qt::Key key, Qt::KeyboardModifiers modifiers = {})
{
    QTest::keyClick(form.windowHandle(), key, modifiers);
}

// One key event per character: QTest::keyClicks cannot take non-Latin-1 text.
inline void type(Form1 &form, const QString &text)
{
    for (const QChar ch : text) {
        const auto code = Qt::Key(ch.toUpper().unicode());
        QTest::sendKeyEvent(QTest::Click, form.windowHandle(), code, QString(ch), {});
    }
}

[[nodiscard]] inline bool showActive(Form1 &form)
{
    form.show();
    form.activateWindow();
    return QTest::qWaitForWindowActive(&form);
}

} // namespace FormDriver
