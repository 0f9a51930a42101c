#include "roomcompleter.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>

RoomCompleter::RoomCompleter(QAbstractItemModel *rooms, int addressRole, QLineEdit *box)
    : QCompleter(rooms, box), m_addressRole(addressRole)
{
    // A name or an address typed anywhere in an entry finds it.
    setCompletionMode(QCompleter::PopupCompletion);
    setCompletionRole(Qt::DisplayRole);
    setFilterMode(Qt::MatchContains);
    setCaseSensitivity(Qt::CaseInsensitive);
    box->setCompleter(this);
    // What cannot be shown whole loses the middle of its name, never its address.
    popup()->setTextElideMode(Qt::ElideMiddle);
}

QString RoomCompleter::pathFromIndex(const QModelIndex &index) const
{
    return index.data(m_addressRole).toString();
}

bool RoomCompleter::eventFilter(QObject *watched, QEvent *event)
{
    // The box's own Down would only offer the entries that hold its text.
    if (watched == widget() && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down && !popup()->isVisible()) {
        setCompletionPrefix(QString());
        complete();
        return true;
    }
    // The list opens as wide as the box: it takes what its entries need, up
    // to the screen's edge.
    auto *list = qobject_cast<QAbstractItemView *>(watched);
    if (list && event->type() == QEvent::Show) {
        const int needed = list->sizeHintForColumn(0) + 2 * list->frameWidth()
                + list->verticalScrollBar()->sizeHint().width();
        const int room = list->screen()->availableGeometry().right() - list->geometry().left() + 1;
        list->setMinimumWidth(qMin(needed, room));
    }
    return QCompleter::eventFilter(watched, event);
}
