#ifndef QUILLMAR_SHARES_ANSWERWORKER_H
#define QUILLMAR_SHARES_ANSWERWORKER_H

// Compresses large answers to other users away from the GUI thread. A
// share list of 200,000 files takes more than a second at zlib level 9, and
// any peer may ask for it. A job gets plain bytes (it never touches the
// store); its result comes back on the owner's thread, in the order the jobs
// end.

#include "store/MemStream.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class AnswerWorker : public QObject
{
    Q_OBJECT
public:
    explicit AnswerWorker(QObject* ip_parent = nullptr);
    // Stop()s.
    ~AnswerWorker() override;

    // Runs on a worker thread: the record to compress (a share list is put
    // in order there too). What it holds is freed before the compression.
    typedef std::function<MemStream()> Record;
    // Runs on this object's thread with the message (the code, then the
    // compressed record); empty when it could not be compressed.
    typedef std::function<void(QByteArray i_message)> Done;

    void Compress(quint32 i_code, Record i_record, Done i_done);

    // Drops the jobs not started, ends the running ones at their next slice
    // and waits for them; no Done is called afterwards, and no job is taken.
    void Stop();

private:
    // Compression is one core's work per job; two threads keep a share
    // list from waiting behind a large search answer without giving
    // strangers every core.
    static constexpr std::size_t THREADS = 2;

    struct Task
    {
        quint64 m_job = 0;
        quint32 m_code = 0;
        Record m_record;
    };
    void Run();
    // On this object's thread: hands the finished messages to their jobs.
    void DeliverFinished();

    // Shared with the threads, under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    std::vector<std::pair<quint64, QByteArray>> m_finished;
    bool m_quit = false;
    // Read by the compressions between slices.
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;

    // This object's thread only.
    std::map<quint64, Done> m_jobs;
    quint64 m_nextJob = 1;
};

#endif
