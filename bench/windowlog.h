#pragma once

#include "form1.h"

#include <QPlainTextEdit>
#include <QScrollBar>

namespace bench {

// The log shows its newest line: the caret after it, and it in view.
inline bool logShowsNewest(const Form1 &window)
{
    const QPlainTextEdit *chat = window.chat;
    const QScrollBar *bar = chat->verticalScrollBar();
    return chat->textCursor().atEnd() && bar->value() == bar->maximum()
        && chat->viewport()->rect().contains(chat->cursorRect());
}

} // namespace bench
