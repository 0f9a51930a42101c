#pragma once

#include "cpace.h"
#include "framedlink.h"
#include "membertable.h"
#include "passphrase.h"
#include "roomtypes.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <memory>

class QHostInfo;

namespace TAVIXLibCtl {

// The joining side: resolves the address without blocking, tries each
// address in turn, joins with the member's values and reports what the host
// relays. Says nothing of the room before the host's HELLO; at a door, not
// before the host has shown it knows the passphrase. Ends once, through
// ended().
class RoomGuest : public QObject
{
    Q_OBJECT

public:
    explicit RoomGuest(const Timeouts &timeouts, QObject *parent = nullptr);
    ~RoomGuest() override;

    // `trusted`, when set, is a key the member accepted in place of the one
    // kept for this host: met again, it replaces the kept one. `announced`,
    // when set, is the start of the key the room announced, in hex: a host
    // whose key does not start so is refused before anything is said.
    // `passphrase` opens a room's door; without one, a door ends the join.
    void join(const QString &address, quint16 port, const MemberValues &values,
              const QByteArray &trusted = {}, const QByteArray &announced = {},
              const Passphrase &passphrase = {});
    // The member's own change: sent at once when linked, else kept for the join.
    void setValue(const QString &key, const QString &value);
    void close();

    qint64 backlog() const { return m_link ? m_link->backlog() : 0; }

signals:
    // The host's certificate, before anything is said to it.
    void hostIdentified(const QByteArray &fingerprint);
    // It is not the key kept for this address: the one kept is `remembered`.
    void hostKeyRefused(const QByteArray &remembered);
    // The host's key could not be kept; the join goes on as a first visit.
    void keyNotKept(const QString &error);
    // The host showed it knows the passphrase given.
    void doorOpened();
    void welcomed(int slot, int size);
    void roomEvent(const RoomEvent &event);
    // Bytes toward the host went out.
    void bytesWritten();
    // `detail` says more where there is more to say, such as the file at fault.
    void ended(EndReason reason, const QString &detail);

private:
    void hostResolved(const QHostInfo &info);
    void connectNext();
    void checkHost(const QByteArray &fingerprint);
    void judgeHost();
    void greeted(const Wire::Message &hello);
    void answered(const Wire::Message &answer);
    // Sends the member's values and asks to join.
    void speak();
    void handleMessage(const Wire::Message &message);
    void handleEnd(FramedLink::End end);
    void finish(EndReason reason, const QString &detail = {});

    Timeouts m_timeouts;
    QString m_address; // as the member gave it: what the host's key is kept under
    QList<QHostAddress> m_addresses;
    quint16 m_port = 0;
    MemberValues m_values;
    int m_lookupId = -1;
    FramedLink *m_link = nullptr;
    EndReason m_lastFailure = EndReason::Unreachable;
    EndReason m_refusal = EndReason::None; // what the host said before it went
    int m_size = 0; // the room's size once welcomed
    QByteArray m_trusted;
    QByteArray m_announced; // the start of the key the room announced, when chosen from those
    QByteArray m_shown; // the host's key, judged before anything is said
    Passphrase m_passphrase;
    std::unique_ptr<Cpace::Exchange> m_door; // from KNOCK to ANSWER
    bool m_greeted = false; // HELLO came
    bool m_doorAsked = false; // it said the room has a door
    bool m_spoken = false;  // the values and JOIN went out
    QElapsedTimer m_lockWait;
    QTimer m_judgeSoon;
    bool m_done = false;
};

} // namespace TAVIXLibCtl
