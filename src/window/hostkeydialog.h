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
    // Tells that the host at a room's address does not show the key the
    // room announced (`announced`, hex): both keys, what it can mean, and
    // nothing to trust; closing it is all there is to do.
    static HostKeyDialog *notAsAnnounced(const QString &address, int port, const QString &announced,
                                         const QByteArray &shown, QWidget *parent);

    QAbstractButton *declineButton() const { return m_decline; }
    // None when there is nothing to trust.
    QAbstractButton *trustButton() const { return m_trust; }

signals:
    // The user trusts the new key and wants to join again.
    void trusted();

private:
    // Titled `title`, saying `text` and `informative`, with a button that
    // declines, named `decline`.
    HostKeyDialog(const QString &title, const QString &text, const QString &informative,
                  const QString &decline, QWidget *parent);

    QAbstractButton *m_decline = nullptr;
    QAbstractButton *m_trust = nullptr;
};
