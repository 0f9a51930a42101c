#pragma once

#include "framedlink.h"
#include "membertable.h"
#include "roomtypes.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QHostInfo;

namespace TAVIXLibCtl {

// The joining side: resolves the address without blocking, tries each
// address in turn, joins with the member's values and reports what the host
// relays. Ends once, through ended().
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
    void join(const QString &address, quint16 port, const MemberValues &values,
              const QByteArray &trusted = {}, const QByteArray &announced = {});
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
    void linked();
    void keepNewHost();
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
    QByteArray m_announced;
    QByteArray m_newHost; // a host's key to keep once it welcomes us
    bool m_replacesPin = false; // m_newHost takes the place of the kept one
    bool m_done = false;
};

} // namespace TAVIXLibCtl
