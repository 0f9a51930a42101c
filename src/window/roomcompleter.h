#pragma once

#include <QCompleter>

class QAbstractItemView;
class QLineEdit;

namespace TAVIXLibCtl {
class RoomBrowser;
}

// Offers the rooms found on the network in an address box: those that match
// what is typed, or all of them with the Down key. Text that looks like an
// address matches the rooms' addresses only, any other text their names, so
// that no name can pass itself off as an address. The list shows each room
// in full; the arrow keys put the room under them in the box for a look,
// and Escape, or leaving the list without choosing, puts back what was typed.
// Choosing a room puts its address and port in the box.
class RoomCompleter : public QCompleter
{
    Q_OBJECT

public:
    RoomCompleter(TAVIXLibCtl::RoomBrowser *rooms, QLineEdit *box);

    QString pathFromIndex(const QModelIndex &index) const override;

signals:
    // A room was chosen: the box holds `target`, and the room announced the
    // key that starts with `key` (hex, or empty). Raised with both empty once
    // the box is edited by hand after a choice.
    void roomChosen(const QString &target, const QString &key);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void typed(const QString &text);

    QLineEdit *const m_box;
    QAbstractItemView *m_list = nullptr;
    QString m_typed; // what the box held before the list put anything in it
    bool m_chosen = false;
};
