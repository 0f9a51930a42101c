#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// Asks for a room's passphrase in a password field: twice to host a room
// with a door, once, with the reason, to join one. Opened window-modal with
// open(); what was typed goes out through chosen() and leaves the fields.
class PassphraseDialog : public QDialog
{
    Q_OBJECT

public:
    // To host: the passphrase and the same again.
    explicit PassphraseDialog(QWidget *parent);
    // To join the room at `address` and `port`, which said `why`.
    PassphraseDialog(const QString &address, int port, const QString &why, QWidget *parent);

    QLineEdit *field() const { return m_field; }
    QLineEdit *again() const { return m_again; }
    QPushButton *okButton() const { return m_ok; }
    QPushButton *cancelButton() const { return m_cancel; }

signals:
    void chosen(const QString &passphrase);

private:
    PassphraseDialog(const QString &title, const QString &text, const QString &ok, bool twice, QWidget *parent);
    void checkTyped();

    QLineEdit *m_field = nullptr;
    QLineEdit *m_again = nullptr;
    QPushButton *m_ok = nullptr;
    QPushButton *m_cancel = nullptr;
};
