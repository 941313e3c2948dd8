#include "transfers/TransferThreads.h"

#include "peers/PeerWire.h"
#include "transfers/TransferQueueManager.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

SpeedBudget* BudgetOrDefault(SpeedBudget* ip_budget, bool i_upload)
{
    if (ip_budget || !transferQueueManager)
        return ip_budget;
    return i_upload ? &transferQueueManager->GetUploadBudget() : &transferQueueManager->GetDownloadBudget();
}

QString const EXIT_REQUESTED = "Exit requested.";

} // namespace

TransferThread::TransferThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size, qint64 i_position,
                               SpeedBudget* ip_budget)
    : mp_socket(ip_socket), mp_file(ip_file), m_size(i_size), m_position(i_position), m_limiter(ip_budget)
{
}

void TransferThread::SignalExit()
{
    std::lock_guard<std::mutex> l_lock(m_exitMutex);
    m_exit = true;
}

bool TransferThread::AskedToExit()
{
    std::lock_guard<std::mutex> l_lock(m_exitMutex);
    return m_exit;
}

void TransferThread::AwaitEnd()
{
    wait();
    std::lock_guard<std::mutex> l_lock(m_exitMutex);
}

void TransferThread::PublishEnd()
{
    std::lock_guard<std::mutex> l_lock(m_exitMutex);
}

bool TransferThread::Fail(QString const& i_text)
{
    m_error = i_text;
    return false;
}

bool TransferThread::FailWithSocket(QString const& i_text)
{
    return Fail(i_text + mp_socket->errorString());
}

bool TransferThread::FailWithFile(QString const& i_text)
{
    return Fail(i_text + mp_file->errorString());
}

bool TransferThread::AwaitReadable(QString const& i_failure)
{
    for (int l_waited = 0; mp_socket->bytesAvailable() == 0 && l_waited < m_idleTimeoutMs;
         l_waited += WAIT_SLICE_MS) {
        if (AskedToExit())
            return Fail(EXIT_REQUESTED);
        if (!mp_socket->waitForReadyRead(std::min(WAIT_SLICE_MS, m_idleTimeoutMs - l_waited)) &&
            mp_socket->state() != QAbstractSocket::ConnectedState)
            break;
    }
    if (mp_socket->bytesAvailable() == 0)
        return FailWithSocket(i_failure);
    return true;
}

bool TransferThread::ReadExactly(char* io_buffer, qint64 i_length, QString const& i_waitFailure)
{
    for (qint64 l_have = 0; l_have < i_length;) {
        if (!AwaitReadable(i_waitFailure))
            return false;
        qint64 l_read = mp_socket->read(io_buffer + l_have, i_length - l_have);
        if (l_read < 0)
            return FailWithSocket("Socket read failed. Error string: ");
        l_have += l_read;
    }
    return true;
}

bool TransferThread::TakeRateStep()
{
    if (!m_limiter.Step([this] { return AskedToExit(); }))
        return Fail(EXIT_REQUESTED);
    return true;
}

qint64 TransferThread::ChunkSize() const
{
    return m_limiter.IsLimited() ? LIMITED_CHUNK_SIZE : CHUNK_SIZE;
}

void TransferThread::StartClocks()
{
    m_limiter.Start();
    m_reportClock.start();
}

void TransferThread::AccountChunk(qint64 i_bytes)
{
    m_position += i_bytes;
    m_limiter.Account(i_bytes);
    if (m_reportClock.elapsed() >= PROGRESS_INTERVAL_MS || m_position >= m_size) {
        ReportProgress(m_position, m_limiter.BytesPerSecond());
        m_reportedPosition = m_position;
        m_reportClock.restart();
    }
}

void TransferThread::ReportStop()
{
    if (m_position != m_reportedPosition)
        ReportProgress(m_position, 0);
    m_reportedPosition = m_position;
}

void TransferThread::HandBackSocket()
{
    mp_socket->moveToThread(thread());
}

bool TransferThread::WasReset() const
{
    // We close only after the last byte: a connection closed on our side
    // before it was reset by the peer, or broken by the network.
    tcp_info l_info{};
    socklen_t l_length = sizeof l_info;
    qintptr const l_descriptor = mp_socket->socketDescriptor();
    return l_descriptor != -1 &&
           ::getsockopt(int(l_descriptor), IPPROTO_TCP, TCP_INFO, &l_info, &l_length) == 0 &&
           l_info.tcpi_state == TCP_CLOSE;
}

void TransferThread::BreakOff()
{
    // A plain close would send what the buffers hold first, and a peer that
    // reads slowly would go on receiving it for minutes.
    qintptr const l_descriptor = mp_socket->socketDescriptor();
    if (l_descriptor != -1) {
        linger const l_linger{1, 0};
        ::setsockopt(int(l_descriptor), SOL_SOCKET, SO_LINGER, &l_linger, sizeof l_linger);
    }
    mp_socket->abort();
}

// ------------------------------------------------------------------ upload

UploadThread::UploadThread(QTcpSocket* ip_socket, QFile* ip_file, int i_token, SpeedBudget* ip_budget)
    : TransferThread(ip_socket, ip_file, 0, 0, BudgetOrDefault(ip_budget, true)), m_token(quint32(i_token))
{
}

void UploadThread::ReportProgress(qint64 i_position, int i_bytesPerSecond)
{
    emit UploadProgress(i_position, i_bytesPerSecond);
}

void UploadThread::run()
{
    StartClocks();
    Outcome l_outcome = PerformUpload();
    // An upload stopped here (removed, or the program ending) is broken off,
    // so that the downloader learns at once that it is over.
    if (l_outcome != Outcome::Complete && m_error == EXIT_REQUESTED)
        BreakOff();
    else if (l_outcome != Outcome::Complete)
        mp_socket->close();
    HandBackSocket();
    if (l_outcome == Outcome::Complete)
        emit UploadComplete();
    else if (l_outcome == Outcome::LocalError)
        emit UploadLocalError(m_error);
    else
        emit UploadError(m_error);
    PublishEnd();
}

UploadThread::Outcome UploadThread::PerformUpload()
{
    // Exchange step 1: our token; step 2: the peer's offset.
    uchar l_token[4];
    qToLittleEndian(m_token, l_token);
    mp_socket->write(reinterpret_cast<char const*>(l_token), 4);
    mp_socket->flush();
    if (!ReadExactly(m_buffer, PeerWire::FILE_OFFSET_BYTES,
                     "Waiting for initialization data to read failed. Error string: "))
        return Outcome::Error;
    m_size = mp_file->size();
    qint64 l_offset = 0;
    if (!PeerWire::DecodeFileOffset(m_buffer, m_size, l_offset)) {
        Fail(QString("Won't seek to offset %1 in file of size %2").arg(l_offset).arg(m_size));
        return Outcome::LocalError;
    }
    if (l_offset == m_size)
        return Outcome::Complete;
    if (!mp_file->seek(l_offset)) {
        FailWithFile(QString("Seeking to starting offset %1 failed. Error string: ").arg(l_offset));
        return Outcome::Error;
    }
    m_position = l_offset;

    while (m_position < m_size) {
        if (AskedToExit() ? !Fail(EXIT_REQUESTED) : !TakeRateStep())
            return Outcome::Error;
        qint64 const l_chunk = std::min<qint64>(ChunkSize(), m_size - m_position);
        if (mp_file->read(m_buffer, l_chunk) != l_chunk) {
            FailWithFile("Reading from file failed. Error string: ");
            return Outcome::Error;
        }
        for (qint64 l_sent = 0; l_sent < l_chunk;) {
            qint64 l_written = mp_socket->write(m_buffer + l_sent, l_chunk - l_sent);
            if (l_written < 0) {
                FailWithSocket("Writing to socket failed. Error string: ");
                return Outcome::Error;
            }
            l_sent += l_written;
        }
        for (int l_waited = 0; mp_socket->bytesToWrite() > 0; l_waited += WAIT_SLICE_MS) {
            if (AskedToExit()) {
                Fail(EXIT_REQUESTED);
                return Outcome::Error;
            }
            if (l_waited >= m_idleTimeoutMs || mp_socket->state() != QAbstractSocket::ConnectedState) {
                FailWithSocket("Waiting for bytes to be written to socket failed. Error string: ");
                return Outcome::Error;
            }
            mp_socket->waitForBytesWritten(WAIT_SLICE_MS);
        }
        AccountChunk(l_chunk);
    }

    // Exchange step 4: the downloader closes once it has every byte.
    for (int l_waited = 0; mp_socket->state() == QAbstractSocket::ConnectedState; l_waited += WAIT_SLICE_MS) {
        if (l_waited >= m_idleTimeoutMs) {
            Fail(QString());
            return Outcome::Error;
        }
        mp_socket->waitForDisconnected(WAIT_SLICE_MS);
        mp_socket->readAll();
        if (mp_socket->state() == QAbstractSocket::ConnectedState && AskedToExit()) {
            Fail(EXIT_REQUESTED);
            return Outcome::Error;
        }
    }
    return Outcome::Complete;
}

// ---------------------------------------------------------------- download

DownloadThread::DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size, qint64 i_offset,
                               SpeedBudget* ip_budget)
    : TransferThread(ip_socket, ip_file, i_size, i_offset, BudgetOrDefault(ip_budget, false))
{
}

void DownloadThread::ReportProgress(qint64 i_position, int i_bytesPerSecond)
{
    emit DownloadProgress(i_position, i_bytesPerSecond);
}

void DownloadThread::run()
{
    StartClocks();
    bool l_ok = PerformDownload();
    mp_file->close();
    if (!l_ok)
        mp_socket->close();
    HandBackSocket();
    if (!l_ok)
        ReportStop();
    if (l_ok)
        emit DownloadComplete();
    else if (m_writeFailed)
        emit DownloadWriteFailed(m_writeCause);
    else
        emit DownloadError(m_error);
    PublishEnd();
}

bool DownloadThread::WriteChunk(qint64 i_length)
{
    // The file's buffer took bytes that a full disk refused only later, at
    // a close that nobody checks: they counted as progress, and at the end
    // of the file the download passed for complete with them missing. So
    // they go through to the file here.
    for (qint64 l_done = 0; l_done < i_length;) {
        qint64 const l_written = mp_file->write(m_buffer + l_done, i_length - l_done);
        if (l_written <= 0)
            return FailWithFile("Writing to file failed. Error string: ");
        l_done += l_written;
    }
    // A write cut short names no cause; the attempt at the rest does.
    for (qint64 l_left = mp_file->bytesToWrite(); !mp_file->flush();) {
        qint64 const l_now = mp_file->bytesToWrite();
        if (l_now >= l_left)
            return FailWithFile("Writing to file failed. Error string: ");
        l_left = l_now;
    }
    return true;
}

bool DownloadThread::PerformDownload()
{
    // Appending past the announced size would only grow a file that can
    // never be right.
    if (m_position > m_size)
        return Fail(QString("The partial file holds %1 bytes, more than the file's %2.").arg(m_position).arg(m_size));
    for (;;) {
        if (m_position == m_size) {
            mp_socket->close();
            return true;
        }
        if (AskedToExit())
            return Fail(EXIT_REQUESTED);
        if (!TakeRateStep())
            return false;
        // What the system still holds of a connection the uploader broke
        // off can be read, at our rate limit for minutes: the download is
        // over the moment the reset comes (a plain close, at the end of the
        // file, leaves the rest to be read).
        if (WasReset())
            return Fail("The uploader broke the connection off.");
        if (!AwaitReadable("Waiting for data to read failed. Error string: "))
            return false;
        // What has arrived, up to a chunk: waiting for a whole chunk would
        // only add wake-ups.
        qint64 const l_chunk = mp_socket->read(m_buffer, std::min<qint64>(ChunkSize(), m_size - m_position));
        if (l_chunk < 0)
            return FailWithSocket("Socket read failed. Error string: ");
        if (!WriteChunk(l_chunk)) {
            m_writeFailed = true;
            m_writeCause = mp_file->errorString();
            // What reached the disk, part of this chunk too: the partial
            // file's size, where the next run starts.
            if (QFileInfo const l_file(mp_file->fileName()); l_file.isFile())
                m_position = l_file.size();
            return false;
        }
        AccountChunk(l_chunk);
    }
}
