#pragma once

#include "endofturn.h"
#include "room.h"

#include <QObject>
#include <QSocketNotifier>
#include <QStringEncoder>

#include <array>

// Drives a Room from standard input and prints its events as log lines, one
// per line. A turn's lines are written together at its end, whole and in
// order, and whatever is left when the room ends.
class RoomConsole : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Host, Join };

    RoomConsole(Mode mode, TAVIXLibCtl::Room *room, QObject *parent = nullptr);
    ~RoomConsole() override;

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
    void sendLine(QByteArrayView line);
    void roomEnded();
    void print(const QString &line) { print(std::array<QStringView, 1>{line}); }
    // A line in pieces, each encoded once into the output.
    template <size_t N>
    void print(const std::array<QStringView, N> &pieces);
    void flushOutput();

    Mode m_mode;
    TAVIXLibCtl::Room *m_room;
    QSocketNotifier *m_input = nullptr;
    QMetaObject::Connection m_untilJoined;
    QByteArray m_partial;
    QByteArray m_output; // whole lines not yet written
    // After the room's own end of turn: members get the lines before a full
    // standard output can hold us up.
    TAVIXLibCtl::EndOfTurn m_flushSoon{[this] { flushOutput(); }};
    QStringEncoder m_utf8{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
    bool m_leaving = false;
    bool m_leaveWhenSaid = false; // input ended: leave once our lines are back
    qint64 m_unanswered = 0;      // our lines the host has not relayed back yet
    int m_exitCode = 0;
};
