#include "shares/AnswerWorker.h"

#include "shares/SharePayloads.h"

#include <QMetaObject>

AnswerWorker::AnswerWorker(QObject* ip_parent) : QObject(ip_parent) {}

AnswerWorker::~AnswerWorker()
{
    Stop();
}

void AnswerWorker::Compress(quint32 i_code, Record i_record, Done i_done)
{
    if (m_stop)
        return;
    quint64 const l_job = m_nextJob++;
    // The callback and whatever it holds stay on this thread; the task
    // carries only its number and plain bytes across.
    m_jobs.emplace(l_job, std::move(i_done));
    {
        std::lock_guard<std::mutex> l_lock(m_mutex);
        m_tasks.push_back(Task{l_job, i_code, std::move(i_record)});
    }
    m_wake.notify_one();
    // Started on the first large answer: most sessions never need them.
    if (m_threads.size() < THREADS && m_threads.size() < m_jobs.size())
        m_threads.emplace_back(&AnswerWorker::Run, this);
}

void AnswerWorker::Run()
{
    for (;;) {
        Task l_task;
        {
            std::unique_lock<std::mutex> l_lock(m_mutex);
            m_wake.wait(l_lock, [this] { return m_quit || !m_tasks.empty(); });
            if (m_quit)
                return;
            l_task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        MemStream const l_record = l_task.m_record();
        l_task.m_record = nullptr;
        QByteArray l_message = SharePayload::Compressed(l_task.m_code, l_record, &m_stop);
        if (m_stop)
            return;
        // The message crosses under the mutex, not inside the queued call:
        // a queued call's hand-over rests on Qt's own lock, which the thread
        // sanitizer cannot see. Stop() joins this thread, so the object is
        // alive here; a call still queued when it dies is dropped with it.
        bool l_first = false;
        {
            std::lock_guard<std::mutex> l_lock(m_mutex);
            l_first = m_finished.empty();
            m_finished.emplace_back(l_task.m_job, std::move(l_message));
        }
        if (l_first)
            QMetaObject::invokeMethod(this, [this] { DeliverFinished(); }, Qt::QueuedConnection);
    }
}

void AnswerWorker::DeliverFinished()
{
    std::vector<std::pair<quint64, QByteArray>> l_finished;
    {
        std::lock_guard<std::mutex> l_lock(m_mutex);
        l_finished.swap(m_finished);
    }
    for (auto& l_entry : l_finished) {
        auto const l_found = m_jobs.find(l_entry.first);
        // A callback may have stopped the worker meanwhile.
        if (l_found == m_jobs.end())
            continue;
        Done const l_done = std::move(l_found->second);
        m_jobs.erase(l_found);
        l_done(std::move(l_entry.second));
    }
}

void AnswerWorker::Stop()
{
    std::deque<Task> l_dropped;
    {
        std::lock_guard<std::mutex> l_lock(m_mutex);
        m_quit = true;
        l_dropped.swap(m_tasks);
        m_finished.clear();
    }
    m_stop = true;
    m_wake.notify_all();
    for (std::thread& l_thread : m_threads)
        l_thread.join();
    m_threads.clear();
    m_jobs.clear();
}
