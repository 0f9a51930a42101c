#pragma once

#include "room.h"

#include <QObject>
#include <QSocketNotifier>

// Drives a Room from standard input and prints its events as log lines, one
// per line, flushed as they come.
class RoomConsole : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Host, Join };

    RoomConsole(Mode mode, TAVIXLibCtl::Room *room, QObject *parent = nullptr);

    void start();
    // Leaves the room; the program ends once the room says it has.
    void leave();
    // 0 after an end we asked for, 1 after one the room met.
    int exitCode() const { return m_exitCode; }

signals:
    void finished();

private:
    void readInput();
    void resumeWhenDrained();
    void sendLine(QByteArray line);
    void roomEnded();
    void print(const QString &line);

    Mode m_mode;
    TAVIXLibCtl::Room *m_room;
    QSocketNotifier *m_input = nullptr;
    QMetaObject::Connection m_untilJoined;
    QByteArray m_partial;
    bool m_leaving = false;
    int m_exitCode = 0;
};
