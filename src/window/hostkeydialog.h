#pragma once

#include <QMessageBox>

// Asks whether to trust a host that shows another key than the one kept for
// its address: both keys side by side, what it can mean and how to check.
// Declining is the default and what Escape does.
class HostKeyDialog : public QMessageBox
{
    Q_OBJECT

public:
    HostKeyDialog(const QString &address, int port, const QByteArray &remembered,
                  const QByteArray &shown, QWidget *parent);

    QAbstractButton *declineButton() const { return m_decline; }
    QAbstractButton *trustButton() const { return m_trust; }

signals:
    // The user trusts the new key and wants to join again.
    void trusted();

private:
    QAbstractButton *m_decline;
    QAbstractButton *m_trust;
};
