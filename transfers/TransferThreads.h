#ifndef QUILLMAR_TRANSFERS_TRANSFERTHREADS_H
#define QUILLMAR_TRANSFERS_TRANSFERTHREADS_H

// The threads that move a file's bytes over a file connection (the exchange
// is in docs/protocol.md, "File connections"). A thread owns its socket and
// file from its start to its end, never touches the store, and reports
// through queued signals only. The manager stops a thread with SignalExit()
// and a wait; every wait inside a thread is cut into slices of at most
// 100 ms with the exit flag checked between them, so the stop is prompt at
// any rate limit.

#include "transfers/SpeedBudget.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <mutex>

class QFile;
class QTcpSocket;

class TransferThread : public QThread
{
    Q_OBJECT
public:
    // The most one step moves: as much as a plain copy's buffer, so that a
    // transfer without a limit costs no more system calls and wake-ups than
    // one (8 KiB steps ran at about half its speed). Under a limit, steps
    // stay small, so that the rate stays even within a second.
    static constexpr int CHUNK_SIZE = 65536;
    static constexpr int LIMITED_CHUNK_SIZE = 8192;
    static constexpr int WAIT_SLICE_MS = 100;
    // How long the peer may stay silent (or leave bytes unsent) before the
    // transfer fails.
    static constexpr int IDLE_TIMEOUT_MS = 30000;
    static constexpr int PROGRESS_INTERVAL_MS = 500;

    void SignalExit();
    bool AskedToExit();
    // Waits for the end of the thread's body, without a time limit. The end
    // is published under the thread's own mutex, so everything the thread
    // wrote is visible to the caller afterwards, also to the tools that
    // check this (Qt's own locks are invisible to them).
    void AwaitEnd();
    // For tests: a shorter idle time-out. Set before start().
    void SetIdleTimeout(int i_milliseconds) { m_idleTimeoutMs = i_milliseconds; }

protected:
    TransferThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size, qint64 i_position,
                   SpeedBudget* ip_budget);

    // Each sets the error text and gives false.
    bool Fail(QString const& i_text);
    bool FailWithSocket(QString const& i_text);
    bool FailWithFile(QString const& i_text);
    // Waits until something can be read; false (error text set) when the
    // exit flag was seen or nothing came within the idle time-out.
    bool AwaitReadable(QString const& i_failure);
    // Reads exactly i_length bytes into io_buffer.
    bool ReadExactly(char* io_buffer, qint64 i_length, QString const& i_waitFailure);
    // A rate step before each chunk.
    bool TakeRateStep();
    // The size of the next chunk: CHUNK_SIZE, or LIMITED_CHUNK_SIZE under a
    // limit (as the last rate step found it).
    qint64 ChunkSize() const;
    // Moves the accounts on by one chunk and reports progress when due (the
    // last chunk always).
    void AccountChunk(qint64 i_bytes);
    // The clocks of the rate and of the progress reports start with the
    // thread's body.
    void StartClocks();
    // The socket goes back to the thread that made this one.
    void HandBackSocket();
    // Closes the connection with a reset, dropping what still waits in the
    // buffers.
    void BreakOff();
    // Whether the peer reset the connection, whatever is still to be read.
    bool WasReset() const;
    // The last act of the body: publishes the end (see AwaitEnd).
    void PublishEnd();
    // Reports the position once more, at no speed, when the last report
    // is behind it: a transfer that fails shows where it stopped.
    void ReportStop();

    virtual void ReportProgress(qint64 i_position, int i_bytesPerSecond) = 0;

    QTcpSocket* mp_socket;
    QFile* mp_file;
    qint64 m_size;
    qint64 m_position;
    QString m_error;
    int m_idleTimeoutMs = IDLE_TIMEOUT_MS;
    char m_buffer[CHUNK_SIZE];

private:
    // A standard mutex rather than a QMutex: both serve, but this one the
    // thread sanitizer understands.
    std::mutex m_exitMutex;
    bool m_exit = false;
    RateLimiter m_limiter;
    QElapsedTimer m_reportClock;
    qint64 m_reportedPosition = -1;
};

// Sends one file: writes the token, reads the peer's offset, sends the rest
// of the file, then waits for the peer to close. The file is opened (and
// later closed) by the manager.
class UploadThread : public TransferThread
{
    Q_OBJECT
public:
    // Without a budget, the upload budget of transferQueueManager (if any).
    UploadThread(QTcpSocket* ip_socket, QFile* ip_file, int i_token, SpeedBudget* ip_budget = nullptr);

signals:
    void UploadProgress(qint64 i_offset, int l_bytesPerSecond);
    void UploadComplete();
    void UploadError(QString i_reason);
    // The peer asked for an offset outside the file: our side cannot serve
    // it, so the peer must not simply ask again.
    void UploadLocalError(QString i_reason);

protected:
    void run() override;
    void ReportProgress(qint64 i_position, int i_bytesPerSecond) override;

private:
    enum class Outcome { Complete, Error, LocalError };
    Outcome PerformUpload();

    quint32 m_token;
};

// Receives one file into its partial file (opened for appending by the
// manager, closed here at the end).
class DownloadThread : public TransferThread
{
    Q_OBJECT
public:
    // Without a budget, the download budget of transferQueueManager (if any).
    DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size, qint64 i_offset,
                   SpeedBudget* ip_budget = nullptr);

signals:
    void DownloadProgress(qint64 i_offset, int l_bytesPerSecond);
    void DownloadComplete();
    void DownloadError(QString i_reason);
    // The partial file took no more bytes (a full disk): the cause, as the
    // system says it. Asking the peer again at once would only fail again.
    void DownloadWriteFailed(QString i_cause);

protected:
    void run() override;
    void ReportProgress(qint64 i_position, int i_bytesPerSecond) override;

private:
    bool PerformDownload();
    // Writes the chunk through to the file; false (error text set) when
    // the file did not take all of it.
    bool WriteChunk(qint64 i_length);

    bool m_writeFailed = false;
    QString m_writeCause;
};

#endif
