#include "shares/AnswerWorker.h"

#include "shares/SharePayloads.h"

#include <QMetaObject>
#include <QRunnable>

AnswerWorker::AnswerWorker(QObject* ip_parent) : QObject(ip_parent)
{
    // Compression is one core's work per job; two jobs at once keep a
    // share list from waiting behind a large search answer without giving
    // strangers every core.
    m_pool.setMaxThreadCount(2);
}

AnswerWorker::~AnswerWorker()
{
    Stop();
}

void AnswerWorker::Compress(quint32 i_code, quint64 i_bytes, Record i_record, Done i_done)
{
    if (m_stop)
        return;
    quint64 const l_job = m_nextJob++;
    m_jobs.emplace(l_job, Job{i_bytes, std::move(i_done)});
    m_pendingBytes += i_bytes;
    // The job carries only its number and plain bytes across: the callback
    // and whatever it holds stay on this thread.
    m_pool.start(QRunnable::create([this, l_job, i_code, l_record = std::move(i_record)]() mutable {
        MemStream const l_bytes = l_record();
        l_record = nullptr;
        QByteArray l_message = SharePayload::Compressed(i_code, l_bytes, &m_stop);
        if (m_stop)
            return;
        // Stop() waits for this job, so the object is alive here; a call
        // still queued when it dies is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, l_job, l_message = std::move(l_message)]() mutable { Finish(l_job, std::move(l_message)); },
            Qt::QueuedConnection);
    }));
}

void AnswerWorker::Finish(quint64 i_job, QByteArray i_message)
{
    auto const l_found = m_jobs.find(i_job);
    if (l_found == m_jobs.end())
        return;
    Done const l_done = std::move(l_found->second.m_done);
    m_pendingBytes -= l_found->second.m_bytes;
    m_jobs.erase(l_found);
    l_done(std::move(i_message));
}

void AnswerWorker::Stop()
{
    m_stop = true;
    m_pool.clear();
    m_pool.waitForDone();
    m_jobs.clear();
    m_pendingBytes = 0;
}
