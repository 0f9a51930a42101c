#include "roomcompleter.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>

RoomCompleter::RoomCompleter(QAbstractItemModel *rooms, int addressRole, QLineEdit *box)
    : QCompleter(rooms, box), m_addressRole(addressRole)
{
    // A name or an address typed anywhere in an entry finds it.
    setCompletionMode(QCompleter::PopupCompletion);
    setCompletionRole(Qt::DisplayRole);
    setFilterMode(Qt::MatchContains);
    setCaseSensitivity(Qt::CaseInsensitive);
    box->setCompleter(this);
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
    return QCompleter::eventFilter(watched, event);
}
