#pragma once

#include <QtGlobal>

#include <functional>

namespace TAVIXLibCtl {

// Runs a function once at the end of the event loop's turn in which it was
// requested, before the loop waits again: what a zero QTimer does, without
// the timer the dispatcher allocates for each start and without waking the
// loop. It rides on the dispatcher's awake() and aboutToBlock(), which Qt's
// own and GLib's dispatchers emit at the start of every pass; what is
// requested meanwhile runs in the same pass. In a thread without an event
// loop it runs at once.
class EndOfTurn
{
public:
    explicit EndOfTurn(std::function<void()> run) : m_run(std::move(run)) {}
    ~EndOfTurn() { cancel(); }
    EndOfTurn(const EndOfTurn &) = delete;
    EndOfTurn &operator=(const EndOfTurn &) = delete;

    // Several requests in one turn run it once.
    void request();
    void cancel();
    bool isRequested() const { return m_requested; }
    // Counts this thread's passes at the end of a turn: it changes once what
    // a turn queued has gone out.
    static quint64 pass();

private:
    friend class TurnQueue;

    std::function<void()> m_run;
    bool m_requested = false;
};

} // namespace TAVIXLibCtl
