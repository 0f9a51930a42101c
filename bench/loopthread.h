#pragma once

#include "measure.h"

#include <QObject>
#include <QThread>

#include <functional>

#include <pthread.h>
#include <unistd.h>

namespace bench {

// A Qt event loop on a thread of its own, for Rooms to live on.
class LoopThread
{
public:
    // Named, so that a profile can tell the host from the members.
    explicit LoopThread(const char *name)
    {
        m_thread.setObjectName(QString::fromLatin1(name));
        m_context = new QObject;
        m_context->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
        m_thread.start();
        run([this] {
            m_handle = pthread_self();
            m_tid = ::gettid();
        });
    }
    ~LoopThread()
    {
        m_thread.quit();
        m_thread.wait(QDeadlineTimer(10000));
    }
    LoopThread(const LoopThread &) = delete;
    LoopThread &operator=(const LoopThread &) = delete;

    // Runs `task` on the thread and waits for it.
    void run(const std::function<void()> &task)
    {
        QMetaObject::invokeMethod(m_context, task, Qt::BlockingQueuedConnection);
    }
    void post(std::function<void()> task)
    {
        QMetaObject::invokeMethod(m_context, std::move(task), Qt::QueuedConnection);
    }
    // The kernel's id of the thread, for strace -p.
    pid_t tid() const { return m_tid; }
    std::int64_t cpuNs() const { return threadCpuNs(m_handle); }

private:
    QThread m_thread;
    QObject *m_context = nullptr; // lives on m_thread
    pthread_t m_handle{};
    pid_t m_tid = 0;
};

} // namespace bench
