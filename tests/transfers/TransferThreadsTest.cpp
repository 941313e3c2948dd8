// The transfer threads on loopback connections, the test playing the far
// end byte by byte, and the shared speed budget.

#include "../peers/PeerTestSupport.h"
#include "TransfersFixture.h"

#include "transfers/TransferThreads.h"

#include <QSignalSpy>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <linux/sockios.h>
#include <sys/ioctl.h>

// A download of a file of m_size bytes, m_partial of them already here,
// m_sent sent by the peer; m_error is the failure's prefix (empty: completes).
struct DownloadCase { int m_size, m_partial, m_sent; QString m_error; };
// An upload: the offset as the peer sends it, whether he closes after
// reading, the first byte he reads (-1: none), the signal and its reason
// (empty: none given), and the idle time allowed (0: the default).
struct UploadCase
{
    QByteArray m_offset;
    bool m_peerCloses;
    int m_firstByte;
    QString m_signal, m_reason;
    int m_idleMs = 0;
};
Q_DECLARE_METATYPE(DownloadCase)
Q_DECLARE_METATYPE(UploadCase)

namespace {

// The last signal's first argument as text, or "<none>".
QString LastArgument(QSignalSpy const& i_spy)
{
    return i_spy.isEmpty() ? QString("<none>") : i_spy.last().value(0).toString();
}

bool Always()
{
    return true;
}

} // namespace

class TransferThreadsTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> mp_dir;

    QString WriteFile(QString const& i_name, QByteArray const& i_bytes)
    {
        WriteFileAt(mp_dir->filePath(i_name), i_bytes);
        return mp_dir->filePath(i_name);
    }

private slots:
    void init() { mp_dir = std::make_unique<QTemporaryDir>(); }

    void download_data()
    {
        QTest::addColumn<DownloadCase>("row");
        QTest::newRow("whole file") << DownloadCase{20000, 0, 20000, ""};
        QTest::newRow("a chunk and one byte") << DownloadCase{8193, 0, 8193, ""};
        QTest::newRow("resumed") << DownloadCase{20000, 5000, 15000, ""};
        QTest::newRow("partial holds all") << DownloadCase{100, 100, 0, ""};
        QTest::newRow("empty file") << DownloadCase{0, 0, 0, ""};
        QTest::newRow("peer closes early")
            << DownloadCase{20000, 0, 100, "Waiting for data to read failed. Error string: "};
        QTest::newRow("partial longer than file") << DownloadCase{100, 150, 0, "The partial file holds 150 bytes"};
    }

    void download()
    {
        QFETCH(DownloadCase, row);
        auto const [size, partial, sent, error] = row;
        QByteArray const l_content = Pattern(std::max(size, partial));
        QFile l_file(WriteFile("partial", l_content.left(partial)));
        QVERIFY(l_file.open(QIODevice::WriteOnly | QIODevice::Append));
        auto l_pair = ConnectedPair();
        DownloadThread l_thread(l_pair.first, &l_file, size, partial);
        QSignalSpy l_progress(&l_thread, &DownloadThread::DownloadProgress);
        QSignalSpy l_complete(&l_thread, &DownloadThread::DownloadComplete);
        QSignalSpy l_error(&l_thread, &DownloadThread::DownloadError);
        l_pair.first->moveToThread(&l_thread);
        l_thread.start();
        l_pair.second->write(l_content.mid(partial, sent));
        if (!error.isEmpty() || sent < size - partial)
            l_pair.second->disconnectFromHost();
        QVERIFY(AwaitClosed(*l_pair.second));
        l_thread.AwaitEnd();
        QCoreApplication::processEvents();

        QVERIFY(!l_file.isOpen());
        QCOMPARE(l_pair.first->thread(), QThread::currentThread());
        if (error.isEmpty()) {
            QCOMPARE(l_complete.count(), 1);
            QVERIFY(l_error.isEmpty());
            QCOMPARE(ReadFileAt(l_file.fileName()), l_content.left(size));
            // The last chunk is always reported; nothing is when nothing moved.
            QCOMPARE(l_progress.isEmpty(), sent == 0);
            if (sent > 0)
                QCOMPARE(l_progress.last().value(0).toLongLong(), qint64(size));
        } else {
            QVERIFY(l_complete.isEmpty());
            QVERIFY2(LastArgument(l_error).startsWith(error), qPrintable(LastArgument(l_error)));
        }
        delete l_pair.first;
    }

    void upload_data()
    {
        QTest::addColumn<UploadCase>("row");
        QTest::newRow("from the start") << UploadCase{Le64(0), true, 0, "complete", ""};
        QTest::newRow("from the middle") << UploadCase{Le64(12345), true, 12345, "complete", ""};
        QTest::newRow("offset is the size") << UploadCase{Le64(20000), false, -1, "complete", ""};
        QTest::newRow("offset past the end")
            << UploadCase{Le64(20001), false, -1, "local", "Won't seek to offset 20001 in file of size 20000"};
        QTest::newRow("negative offset") << UploadCase{QByteArray::fromHex("ffffffffffffffff"), false, -1, "local",
                                                       "Won't seek to offset -1 in file of size 20000"};
        QTest::newRow("no offset") << UploadCase{QByteArray("\x01\x02\x03", 3), true, -1, "error",
                                                 "Waiting for initialization data to read failed. Error string: "};
        QTest::newRow("silent after the last byte") << UploadCase{Le64(0), false, 0, "error", "", 300};
    }

    void upload()
    {
        QFETCH(UploadCase, row);
        auto const [offset, peerCloses, firstByte, signal, reason, idleMs] = row;
        QByteArray const l_content = Pattern(20000);
        QFile l_file(WriteFile("shared", l_content));
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        auto l_pair = ConnectedPair();
        QTcpSocket& l_peer = *l_pair.second;
        qintptr const l_uploader = l_pair.first->socketDescriptor();
        UploadThread l_thread(l_pair.first, &l_file, 0x01020304);
        if (idleMs > 0)
            l_thread.SetIdleTimeout(idleMs);
        QSignalSpy l_complete(&l_thread, &UploadThread::UploadComplete);
        QSignalSpy l_error(&l_thread, &UploadThread::UploadError);
        QSignalSpy l_local(&l_thread, &UploadThread::UploadLocalError);
        l_pair.first->moveToThread(&l_thread);
        l_thread.start();

        QCOMPARE(ReadBytes(l_peer, 4), QByteArray::fromHex("04030201"));
        // The offset arrives in two pieces: the thread's socket has read the
        // first off the system before the second is written.
        l_peer.write(offset.left(3));
        QVERIFY(ReadOffTheWire(l_peer, l_uploader));
        l_peer.write(offset.mid(3));
        l_peer.flush();
        QByteArray l_received;
        if (firstByte >= 0)
            l_received = ReadBytes(l_peer, l_content.size() - firstByte);
        if (peerCloses)
            l_peer.disconnectFromHost();
        l_thread.AwaitEnd();
        QCoreApplication::processEvents();

        if (firstByte >= 0)
            QCOMPARE(l_received, l_content.mid(firstByte));
        else
            QCOMPARE(l_peer.readAll(), QByteArray());
        QCOMPARE(l_complete.count(), signal == "complete" ? 1 : 0);
        QSignalSpy const& l_failure = signal == "local" ? l_local : l_error;
        QString const l_said = LastArgument(l_failure);
        if (signal != "complete")
            QVERIFY2(reason.isEmpty() ? l_said.isEmpty() : l_said.startsWith(reason), qPrintable(l_said));
        QCOMPARE(l_error.count() + l_local.count(), signal == "complete" ? 0 : 1);
        QCOMPARE(l_pair.first->thread(), QThread::currentThread());
        delete l_pair.first;
    }

    // An upload stopped while the downloader reads slowly breaks the
    // connection off: the downloader gets only what had already reached
    // him, not what still waited in the uploader's buffers.
    void stoppedUploadBreaksOff()
    {
        QFile l_file(WriteFile("shared", Pattern(4 << 20)));
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        auto l_pair = ConnectedPair();
        QTcpSocket& l_peer = *l_pair.second;
        // A downloader that takes nothing while the test waits, and an
        // uploader whose system buffer holds a megabyte.
        l_peer.setReadBufferSize(16384);
        l_pair.first->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 1 << 20);
        int const l_uploader = int(l_pair.first->socketDescriptor());
        int const l_downloader = int(l_peer.socketDescriptor());
        auto const l_queued = [](int i_descriptor, unsigned long i_request) {
            int l_bytes = 0;
            return ::ioctl(i_descriptor, i_request, &l_bytes) == 0 ? l_bytes : -1;
        };
        UploadThread l_thread(l_pair.first, &l_file, 7);
        l_pair.first->moveToThread(&l_thread);
        l_thread.start();
        QCOMPARE(ReadBytes(l_peer, 4), Le32(7));
        l_peer.write(Le64(0));
        l_peer.flush();
        QTRY_VERIFY(l_queued(l_uploader, SIOCOUTQ) >= (256 << 10));
        // What had reached the downloader when the upload stopped.
        qint64 const l_arrived = l_peer.bytesAvailable() + l_queued(l_downloader, FIONREAD);
        qint64 const l_waiting = l_queued(l_uploader, SIOCOUTQ);
        l_thread.SignalExit();
        l_thread.AwaitEnd();
        delete l_pair.first;

        qint64 l_received = 0;
        QDeadlineTimer const l_deadline(30000);
        while (!l_deadline.hasExpired() &&
               (l_peer.state() == QAbstractSocket::ConnectedState || l_peer.bytesAvailable() > 0)) {
            l_peer.waitForReadyRead(100);
            l_received += l_peer.readAll().size();
        }
        QCOMPARE(l_peer.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(l_received < l_arrived + l_waiting / 2,
                 qPrintable(QString("%1 received, %2 had arrived, %3 waited").arg(l_received).arg(l_arrived).arg(l_waiting)));
    }

    // A download whose uploader breaks the connection off ends with the
    // reset, not once it has read at 1 KB/s what had already arrived.
    void downloadEndsWithTheReset()
    {
        SpeedBudget l_budget;
        l_budget.SetRates(1, 1);
        QFile l_partial(mp_dir->filePath("partial"));
        QVERIFY(l_partial.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
        auto l_pair = ConnectedPair();
        DownloadThread l_thread(l_pair.first, &l_partial, 1 << 20, 0, &l_budget);
        QSignalSpy l_error(&l_thread, &DownloadThread::DownloadError);
        l_pair.first->moveToThread(&l_thread);
        l_thread.start();
        int const l_sent = 256 << 10;
        l_pair.second->write(Pattern(l_sent));
        QVERIFY(l_pair.second->waitForBytesWritten(WAIT_MS));
        QTRY_VERIFY(QFileInfo(l_partial.fileName()).size() > 0);
        linger const l_reset{1, 0};
        QCOMPARE(::setsockopt(int(l_pair.second->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l_reset, sizeof l_reset),
                 0);
        l_pair.second->abort();
        QTRY_VERIFY_WITH_TIMEOUT(!l_error.isEmpty(), 30000);
        l_thread.AwaitEnd();
        QCOMPARE(LastArgument(l_error), QString("The uploader broke the connection off."));
        QVERIFY(l_partial.size() < l_sent);
        delete l_pair.first;
    }

    // A download ends when stopped while the thread waits for data or
    // sleeps under a rate of 1 KB/s, where one chunk takes 8 s; and when the
    // peer falls silent in the middle of a chunk, once the idle time has
    // passed, with the whole chunks kept. Not timed: a stopped thread that
    // went on waiting would wait ten minutes for data (its idle time here),
    // one that went on sleeping would write its next chunk first, and one
    // that missed the idle time would wait for ever.
    void endIsPrompt_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("idleMs"); // 0: stopped instead
        QTest::newRow("stopped waiting for data") << 0 << 0;
        QTest::newRow("stopped sleeping at 1 KB/s") << 1 << 0;
        QTest::newRow("silent peer") << 0 << 300;
    }

    void endIsPrompt()
    {
        QFETCH(int, rate);
        QFETCH(int, idleMs);
        SpeedBudget l_budget;
        if (rate > 0)
            l_budget.SetRates(rate, rate);
        // Unbuffered, so that the file's size on disk tells how far it got.
        QFile l_partial(mp_dir->filePath("partial"));
        QVERIFY(l_partial.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
        auto l_pair = ConnectedPair();
        DownloadThread l_thread(l_pair.first, &l_partial, 1 << 20, 0, &l_budget);
        l_thread.SetIdleTimeout(idleMs > 0 ? idleMs : 10 * 60 * 1000);
        QSignalSpy l_error(&l_thread, &DownloadThread::DownloadError);
        l_pair.first->moveToThread(&l_thread);
        l_thread.start();
        l_pair.second->write(Pattern(3 * 8192 + 808));
        QTRY_VERIFY(QFileInfo(l_partial.fileName()).size() >= 8192);
        qint64 const l_stoppedAt = QFileInfo(l_partial.fileName()).size();
        if (idleMs == 0)
            l_thread.SignalExit();
        QTRY_VERIFY(l_thread.isFinished());
        l_thread.AwaitEnd();
        if (idleMs == 0) {
            QCOMPARE(LastArgument(l_error), QString("Exit requested."));
            if (rate > 0)
                QCOMPARE(l_partial.size(), l_stoppedAt);
        } else {
            QVERIFY(LastArgument(l_error).startsWith("Waiting for data to read failed. Error string: "));
            // Everything that arrived is kept, a part of a chunk too.
            QCOMPARE(l_partial.size(), qint64(3 * 8192 + 808));
        }
        delete l_pair.first;
    }

    // The credit pool: what one transfer leaves, another spends; bytes moved
    // while unlimited are never charged.
    void budget()
    {
        SpeedBudget l_budget;
        l_budget.Earn(10000);
        QCOMPARE(l_budget.Spend(4000), qint64(0));
        QCOMPARE(l_budget.Spend(8192), qint64(2192));
        QCOMPARE(l_budget.Pool(), qint64(0));
        l_budget.Earn(std::numeric_limits<qint64>::max());
        l_budget.Earn(std::numeric_limits<qint64>::max());
        QVERIFY(l_budget.Pool() > 0);
        l_budget.SetRates(40, 10);
        QCOMPARE(l_budget.Pool(), qint64(0));
        l_budget.Earn(100);
        l_budget.ClearRates();
        QCOMPARE(l_budget.PerTransferRate(), 0);
        QCOMPARE(l_budget.Pool(), qint64(100));

        // A step that would have to sleep asks the stop test first, so
        // Always() tells whether it slept.
        SpeedBudget l_shared;
        RateLimiter l_limiter(&l_shared);
        l_limiter.Account(50 << 20);
        QVERIFY(l_limiter.Step(Always)); // unlimited: no sleep
        l_limiter.Account(50 << 20);
        l_shared.SetRates(1, 1);
        QVERIFY(l_limiter.Step(Always)); // switched on: the 50 MB moved are free
        l_limiter.Account(8192);
        QVERIFY(!l_limiter.Step(Always)); // now a chunk costs time
        l_shared.Earn(1 << 20);
        RateLimiter l_other(&l_shared);
        l_other.Account(8192);
        QVERIFY(l_other.Step(Always)); // unless the pool covers it
        QCOMPARE(l_shared.Pool(), qint64((1 << 20) - 8192));
        l_shared.ClearRates();
        l_other.Account(50 << 20);
        QVERIFY(l_other.Step(Always));
    }

    // Four uploads feeding four downloads at once, all under limits, for the
    // thread sanitizer to watch.
    void eightTransfers()
    {
        SpeedBudget l_upBudget, l_downBudget;
        l_upBudget.SetRates(4000, 1000);
        l_downBudget.SetRates(4000, 1000);
        QByteArray const l_content = Pattern(200000);
        struct Transfer
        {
            std::unique_ptr<QFile> mp_source, mp_target;
            std::unique_ptr<UploadThread> mp_upload;
            std::unique_ptr<DownloadThread> mp_download;
            QTcpSocket* mp_upSocket;
            std::unique_ptr<QTcpSocket> mp_downSocket;
        };
        std::vector<Transfer> l_transfers(4);
        int l_finished = 0;
        for (int l_k = 0; l_k < 4; ++l_k) {
            Transfer& l_t = l_transfers[l_k];
            l_t.mp_source = std::make_unique<QFile>(WriteFile(QString("source%1").arg(l_k), l_content));
            l_t.mp_target = std::make_unique<QFile>(mp_dir->filePath(QString("target%1").arg(l_k)));
            QVERIFY(l_t.mp_source->open(QIODevice::ReadOnly));
            QVERIFY(l_t.mp_target->open(QIODevice::WriteOnly | QIODevice::Append));
            std::tie(l_t.mp_upSocket, l_t.mp_downSocket) = ConnectedPair();
            l_t.mp_upload = std::make_unique<UploadThread>(l_t.mp_upSocket, l_t.mp_source.get(), l_k, &l_upBudget);
            connect(l_t.mp_upload.get(), &UploadThread::UploadComplete, this, [&] { ++l_finished; });
            l_t.mp_upSocket->moveToThread(l_t.mp_upload.get());
            l_t.mp_upload->start();
            QCOMPARE(ReadBytes(*l_t.mp_downSocket, 4), Le64(l_k).left(4));
            l_t.mp_downSocket->write(Le64(0));
            l_t.mp_downSocket->flush();
            l_t.mp_download = std::make_unique<DownloadThread>(l_t.mp_downSocket.get(), l_t.mp_target.get(),
                                                               l_content.size(), 0, &l_downBudget);
            connect(l_t.mp_download.get(), &DownloadThread::DownloadComplete, this, [&] { ++l_finished; });
            l_t.mp_downSocket->moveToThread(l_t.mp_download.get());
            l_t.mp_download->start();
        }
        QTRY_COMPARE(l_finished, 8);
        for (Transfer& l_t : l_transfers) {
            l_t.mp_upload->AwaitEnd();
            l_t.mp_download->AwaitEnd();
            QCOMPARE(ReadFileAt(l_t.mp_target->fileName()), l_content);
            delete l_t.mp_upSocket;
        }
    }
};

QTEST_GUILESS_MAIN(TransferThreadsTest)
#include "TransferThreadsTest.moc"
