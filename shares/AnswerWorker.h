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
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <map>

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

    // i_bytes: about what the job holds, counted until it is done.
    void Compress(quint32 i_code, quint64 i_bytes, Record i_record, Done i_done);
    quint64 PendingBytes() const { return m_pendingBytes; }

    // Drops the jobs not started, ends the running ones at their next slice
    // and waits for them; no Done is called afterwards, and no job is taken.
    void Stop();

private:
    void Finish(quint64 i_job, QByteArray i_message);

    QThreadPool m_pool;
    std::atomic<bool> m_stop{false};
    // Touched on this object's thread only; the jobs carry their number.
    struct Job
    {
        quint64 m_bytes;
        Done m_done;
    };
    std::map<quint64, Job> m_jobs;
    quint64 m_nextJob = 1;
    quint64 m_pendingBytes = 0;
};

#endif
