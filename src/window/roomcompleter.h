#pragma once

#include <QCompleter>

class QLineEdit;

// Offers the rooms found on the network in an address box: those that match
// what is typed, or all of them with the Down key. The list shows each room
// in full; choosing one puts only its address in the box.
class RoomCompleter : public QCompleter
{
public:
    RoomCompleter(QAbstractItemModel *rooms, int addressRole, QLineEdit *box);

    QString pathFromIndex(const QModelIndex &index) const override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    const int m_addressRole;
};
