#include "endofturn.h"

#include <QAbstractEventDispatcher>
#include <QPointer>

#include <vector>

namespace TAVIXLibCtl {

// The functions requested on one thread, in the order asked.
class TurnQueue
{
public:
    ~TurnQueue()
    {
        QObject::disconnect(m_awake);
        QObject::disconnect(m_aboutToBlock);
        t_gone = true;
    }

    // Null once the thread is ending.
    static TurnQueue *current()
    {
        thread_local TurnQueue queue;
        return t_gone ? nullptr : &queue;
    }

    // False when nothing will run it: this thread has no event loop.
    bool add(EndOfTurn *entry)
    {
        if (!hook())
            return false;
        m_waiting.push_back(entry);
        return true;
    }

    void remove(EndOfTurn *entry)
    {
        for (size_t i = m_next; i < m_waiting.size(); ++i) {
            if (m_waiting[i] == entry)
                m_waiting[i] = nullptr;
        }
    }

    quint64 passes() const { return m_passes; }

private:
    bool hook()
    {
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        if (!dispatcher)
            return false;
        if (m_dispatcher != dispatcher) {
            QObject::disconnect(m_awake);
            QObject::disconnect(m_aboutToBlock);
            m_awake = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [this] { run(); });
            m_aboutToBlock = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] { run(); });
            m_dispatcher = dispatcher;
        }
        return true;
    }

    // In the order requested. What a function requests runs in a later round
    // of the same pass, a few rounds deep: beyond that the loop is woken to
    // come round again, since aboutToBlock() is followed by a wait. A
    // function may also spin a nested loop that runs the rest.
    void run()
    {
        ++m_passes;
        for (int round = 0; round < kRounds && m_next < m_waiting.size(); ++round) {
            const size_t end = m_waiting.size();
            while (m_next < end && m_next < m_waiting.size()) {
                EndOfTurn *entry = std::exchange(m_waiting[m_next++], nullptr);
                if (!entry)
                    continue;
                entry->m_requested = false;
                entry->m_run();
            }
        }
        if (m_next >= m_waiting.size()) {
            m_waiting.clear(); // keeps its capacity
            m_next = 0;
        } else if (m_dispatcher) {
            m_dispatcher->wakeUp();
        }
    }

    static constexpr int kRounds = 4;

    static thread_local bool t_gone;
    std::vector<EndOfTurn *> m_waiting;
    size_t m_next = 0;
    quint64 m_passes = 0;
    QPointer<QAbstractEventDispatcher> m_dispatcher;
    QMetaObject::Connection m_awake;
    QMetaObject::Connection m_aboutToBlock;
};

thread_local bool TurnQueue::t_gone = false;

quint64 EndOfTurn::pass()
{
    const TurnQueue *queue = TurnQueue::current();
    return queue ? queue->passes() : 0;
}

void EndOfTurn::request()
{
    if (m_requested)
        return;
    TurnQueue *queue = TurnQueue::current();
    if (queue && queue->add(this)) {
        m_requested = true;
        return;
    }
    m_run();
}

void EndOfTurn::cancel()
{
    if (!m_requested)
        return;
    m_requested = false;
    if (TurnQueue *queue = TurnQueue::current())
        queue->remove(this);
}

} // namespace TAVIXLibCtl
