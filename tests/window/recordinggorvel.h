#pragma once

#include "gorvel.h"
#include "roomdefaults.h"

#include <QHash>
#include <QMap>
#include <QStringList>

#include <functional>
#include <memory>
#include <stdexcept>

// Stands in for the room component: records every call in order, holds the
// values a test gives it, and lets a test raise events, also from inside
// SetData as the real component may.
class RecordingGorvel : public TAVIXLibCtl::Gorvel
{
public:
    // Shared so that a test can still read it after the window deleted us.
    std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
    // Appended to each record as " | <observation>" when set.
    std::function<QString()> observe;
    // Runs inside SetData after the value is stored.
    std::function<void(const QString &key, const QString &value)> onSetData;
    // Runs inside OpenServer / OpenClient.
    std::function<void()> onOpen;
    // Runs first thing in the destructor.
    std::function<void()> onDestroy;
    // Calls whose name starts with this throw, as the real one does for
    // impossible requests.
    QString failOn;

    QHash<QString, QString> local;
    QMap<qint16, QHash<QString, QString>> members;
    qint16 maxMembers = 0;
    qint16 ownSlot = -1;
    QString address;
    int port = 0;

    ~RecordingGorvel() override
    {
        if (onDestroy)
            onDestroy();
    }

    void setMember(qint16 slot, const QString &name, const QString &presence)
    {
        members[slot][QStringLiteral("name")] = name;
        members[slot][QStringLiteral("cnt")] = presence;
    }

    QString ServerAddress() const override { return address; }
    void setServerAddress(const QString &value) override
    {
        record(QStringLiteral("setServerAddress(%1)").arg(value));
        address = value;
    }
    int Port() const override { return port; }
    void setPort(int value) override
    {
        record(QStringLiteral("setPort(%1)").arg(value));
        port = value;
    }
    qint16 MaxMembers() const override
    {
        record(QStringLiteral("MaxMembers()"));
        return maxMembers;
    }
    void setMaxMembers(qint16 value) override
    {
        record(QStringLiteral("setMaxMembers(%1)").arg(value));
        maxMembers = value;
    }
    void OpenServer() override
    {
        record(QStringLiteral("OpenServer()"));
        if (onOpen)
            onOpen();
    }
    void OpenClient() override
    {
        record(QStringLiteral("OpenClient()"));
        if (onOpen)
            onOpen();
    }
    void CloseConnection() override { record(QStringLiteral("CloseConnection()")); }
    void ExpectHostKey(const QString &serverAddress, const QString &keyPrefix) override
    {
        record(QStringLiteral("ExpectHostKey(%1,%2)").arg(serverAddress, keyPrefix));
    }
    QString GetMemberData(qint16 index, const QString &key) const override
    {
        record(QStringLiteral("GetMemberData(%1,%2)").arg(index).arg(key));
        return members.value(index).value(key);
    }
    void SetData(const QString &key, const QString &value) override
    {
        record(QStringLiteral("SetData(%1,%2)").arg(key, value));
        local[key] = value;
        if (onSetData)
            onSetData(key, value);
    }
    QString GetData(const QString &key) const override
    {
        record(QStringLiteral("GetData(%1)").arg(key));
        return local.value(key);
    }
    // Not recorded: the window only asks it to decide whether to ask for
    // attention, which leaves the room untouched.
    qint16 OwnSlot() const override { return ownSlot; }

    void raiseDataChanged(qint16 index, const QString &key, const QString &value)
    {
        emit DataChanged(index, 0, key, value);
    }
    void raiseDisconnected() { emit Disconnected(); }
    // Every SetData raises its own DataChanged from inside the call, as the
    // member in `slot`.
    void echoSetDataAs(qint16 slot)
    {
        onSetData = [this, slot](const QString &key, const QString &value) {
            raiseDataChanged(slot, key, value);
        };
    }

private:
    void record(const QString &call) const
    {
        calls->append(observe ? call + QStringLiteral(" | ") + observe() : call);
        if (!failOn.isEmpty() && call.startsWith(failOn))
            throw std::invalid_argument("refused: " + call.toStdString());
    }
};
