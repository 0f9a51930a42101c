#pragma once

#include <QString>
#include <QWidget>

namespace TAVIXLibCtl {

class Room;
class RoomBrowser;

// The room control that sits on a window: carries a chat room over TCP and
// draws its state in its small area. Every call runs on the GUI thread and
// events are raised from the event loop on that thread.
//
// Calls that can never be right throw std::invalid_argument (a port outside
// 1-65535 for joining, a room size outside 1-256, a key or value longer than
// 32,767 UTF-16 code units, a 33rd key). Nothing that happens on the network
// throws: it ends the session with Disconnected().
// The contract's members are virtual so that a window can be tested against a
// recording double.
class Gorvel : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString ServerAddress READ ServerAddress WRITE setServerAddress)
    Q_PROPERTY(int Port READ Port WRITE setPort)
    Q_PROPERTY(qint16 MaxMembers READ MaxMembers WRITE setMaxMembers)

public:
    explicit Gorvel(QWidget *parent = nullptr);
    ~Gorvel() override;

    // Address of the room to join: an IPv4 or IPv6 literal or a host name,
    // with ":port" ("[IPv6]:port") to join another port than Port.
    // Not used when hosting: a host listens on every local address.
    virtual QString ServerAddress() const;
    virtual void setServerAddress(const QString &address);

    // Port to listen on or to join. 0 lets a host pick a free port, which
    // Port() then reports.
    virtual int Port() const;
    virtual void setPort(int port);

    // Room size when hosting; while joined, the size the host announced.
    virtual qint16 MaxMembers() const;
    virtual void setMaxMembers(qint16 size);

    virtual void OpenServer();
    virtual void OpenClient();
    virtual void CloseConnection();
    // The next OpenClient to the same address and port accepts this key in
    // place of the one kept for the host, and keeps it instead.
    virtual void TrustHostKey(const QByteArray &fingerprint);
    // A room was chosen from those found: each OpenClient while ServerAddress
    // is exactly `serverAddress` refuses a host whose key does not start
    // with `keyPrefix` (hex), the key the room announced. The first
    // OpenClient to another address, or an empty `serverAddress`, drops it.
    virtual void ExpectHostKey(const QString &serverAddress, const QString &keyPrefix);
    // The next OpenServer hosts a room that only members who know this
    // passphrase may join; empty, an open room. Compared as people type it
    // (NFKC, trimmed), kept in memory only, never written anywhere.
    virtual void SetDoor(const QString &passphrase);
    // The next OpenClient offers this passphrase at the room's door. One
    // that a room accepted is offered again to the same address and port
    // for as long as the control lives.
    virtual void OfferPassphrase(const QString &passphrase);
    // A line the status adds while in no room: how the window reaches what
    // the control offers beyond its buttons.
    void SetStatusHint(const QString &hint);

    // Value of `key` for the member in `index`; "cnt" is "1" while the slot
    // holds a member and "0" otherwise. Unknown slots and keys read as "".
    virtual QString GetMemberData(qint16 index, const QString &key) const;
    // Sets a value of the local member; raises DataChanged at every member
    // while in a room, or only stores it while idle or connecting.
    virtual void SetData(const QString &key, const QString &value);
    virtual QString GetData(const QString &key) const;
    // The local member's slot while in a room, -1 otherwise: events for
    // this index are one's own.
    virtual qint16 OwnSlot() const;

    // The engine behind the control, for tools and tests.
    Room *room() const { return m_room; }
    // The rooms that announce themselves on the local network, looked for
    // while this control is in none. A room hosted here is announced unless
    // TAVIX_NO_ANNOUNCE is set.
    RoomBrowser *foundRooms() const { return m_browser; }

    QSize sizeHint() const override;

signals:
    // `second` is reserved and always 0.
    void DataChanged(qint16 index, int second, const QString &key, const QString &value);
    void Disconnected();
    // Right after a Disconnected for a host whose key is not the one kept
    // for `address` and `port` (as joined: ServerAddress may name the port):
    // SHA-256 of the key kept and of the one shown.
    void HostKeyChanged(const QString &address, int port, const QByteArray &remembered,
                        const QByteArray &shown);
    // Right after a Disconnected for a host whose key is not the one its room
    // announced: the start of the announced key in hex, and the SHA-256 of
    // the key shown.
    void HostKeyNotAsAnnounced(const QString &address, int port, const QString &announced,
                               const QByteArray &shown);
    // Right after a Disconnected for a room whose door did not open: no
    // passphrase, a wrong one, or too many wrong ones from here; `why` is
    // the status's reason.
    void PassphraseRequired(const QString &address, int port, const QString &why);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void followRoom();
    void showStatus();

    Room *m_room = nullptr;
    RoomBrowser *m_browser = nullptr;
    QString m_hint;
};

} // namespace TAVIXLibCtl
