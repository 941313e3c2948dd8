// Figures of the transfer threads over loopback, each beside a plain
// baseline in the same run:
//   1. 1 GiB, no limit: an UploadThread feeding a DownloadThread, against a
//      plain blocking socket copy (64 KiB and 8 KiB buffers); MB/s, CPU %.
//   2. Upload limits of 50, 500 and 5000 KB/s with 1 and 4 transfers: the
//      aggregate rate a plain receiver counts, against the limit.
//   3. Stop latency, SignalExit to the thread's end, at every limit.
// The source file is written just before it is read (in the page cache);
// the target goes to the page cache too. Usage: bench_transfers [MiB].

#include "PlainCopy.h"
#include "bench/BenchUtil.h"
#include "transfers/TransferThreads.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using bench::CpuSeconds;
using bench::Report;

std::pair<QTcpSocket*, QTcpSocket*> Pair()
{
    QTcpServer l_server;
    l_server.listen(QHostAddress::LocalHost, 0);
    auto* lp_far = new QTcpSocket;
    lp_far->connectToHost(QHostAddress::LocalHost, l_server.serverPort());
    l_server.waitForNewConnection(WAIT_MS);
    lp_far->waitForConnected(WAIT_MS);
    QTcpSocket* lp_near = l_server.nextPendingConnection();
    lp_near->setParent(nullptr);
    return {lp_near, lp_far};
}

// The program's own threads: an upload feeding a download.
double ThreadCopy(QString const& i_source, QString const& i_target, qint64 i_size)
{
    QFile l_source(i_source);
    QFile l_target(i_target);
    QFile::remove(i_target);
    l_source.open(QIODevice::ReadOnly);
    l_target.open(QIODevice::WriteOnly | QIODevice::Append);
    auto l_pair = Pair();
    double const l_cpu = CpuSeconds();
    QElapsedTimer l_clock;
    l_clock.start();
    UploadThread l_upload(l_pair.first, &l_source, 7);
    l_pair.first->moveToThread(&l_upload);
    l_upload.start();
    l_pair.second->waitForReadyRead(WAIT_MS);
    l_pair.second->read(4);
    qint64 const l_zero = 0;
    l_pair.second->write(reinterpret_cast<char const*>(&l_zero), 8);
    l_pair.second->flush();
    DownloadThread l_download(l_pair.second, &l_target, i_size, 0);
    l_pair.second->moveToThread(&l_download);
    l_download.start();
    l_download.AwaitEnd();
    l_upload.AwaitEnd();
    double const l_seconds = l_clock.elapsed() / 1000.0;
    if (QFile(i_target).size() != i_size)
        std::printf("  threads moved %lld of %lld bytes\n", static_cast<long long>(QFile(i_target).size()),
                    static_cast<long long>(i_size));
    bench::Require(QFile(i_target).size() == i_size, "the threads did not move the whole file");
    delete l_pair.first;
    delete l_pair.second;
    return Report("upload and download threads", i_size, l_seconds, CpuSeconds() - l_cpu);
}

struct Running
{
    std::unique_ptr<QFile> mp_file;
    std::unique_ptr<UploadThread> mp_thread;
    QTcpSocket* mp_near;
    std::unique_ptr<QTcpSocket> mp_far;
    qint64 m_received = 0;
};

// i_count uploads under the limit, each given its share as the manager
// does; a plain receiver counts what arrives. Starts them.
std::vector<std::unique_ptr<Running>> StartUploads(QString const& i_source, SpeedBudget& io_budget, int i_count)
{
    std::vector<std::unique_ptr<Running>> l_uploads;
    for (int l_k = 0; l_k < i_count; ++l_k) {
        auto lp_run = std::make_unique<Running>();
        lp_run->mp_file = std::make_unique<QFile>(i_source);
        lp_run->mp_file->open(QIODevice::ReadOnly);
        auto l_pair = Pair();
        lp_run->mp_near = l_pair.first;
        lp_run->mp_far.reset(l_pair.second);
        lp_run->mp_thread = std::make_unique<UploadThread>(lp_run->mp_near, lp_run->mp_file.get(), l_k, &io_budget);
        lp_run->mp_near->moveToThread(lp_run->mp_thread.get());
        lp_run->mp_thread->start();
        lp_run->mp_far->waitForReadyRead(WAIT_MS);
        lp_run->mp_far->read(4);
        qint64 const l_zero = 0;
        lp_run->mp_far->write(reinterpret_cast<char const*>(&l_zero), 8);
        lp_run->mp_far->flush();
        l_uploads.push_back(std::move(lp_run));
    }
    return l_uploads;
}

// Reads what has arrived for i_ms milliseconds, and on until something has
// if nothing has by then (a busy machine), at most WAIT_MS; gives the bytes
// and (o_ms) the time it read them for.
qint64 Drain(std::vector<std::unique_ptr<Running>>& io_uploads, int i_ms, qint64* op_ms = nullptr)
{
    qint64 l_bytes = 0;
    QElapsedTimer l_clock;
    l_clock.start();
    while (l_clock.elapsed() < i_ms || (l_bytes == 0 && l_clock.elapsed() < WAIT_MS)) {
        for (auto& lp_run : io_uploads)
            l_bytes += lp_run->mp_far->readAll().size();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    if (op_ms)
        *op_ms = l_clock.elapsed();
    return l_bytes;
}

double Stop(std::vector<std::unique_ptr<Running>>& io_uploads)
{
    double l_worst = 0;
    for (auto& lp_run : io_uploads) {
        QElapsedTimer l_clock;
        l_clock.start();
        lp_run->mp_thread->SignalExit();
        lp_run->mp_thread->AwaitEnd();
        l_worst = std::max(l_worst, l_clock.nsecsElapsed() / 1e6);
        delete lp_run->mp_near;
    }
    return l_worst;
}

} // namespace

int main(int i_argc, char** i_argv)
{
    QCoreApplication l_app(i_argc, i_argv);
    qint64 const l_mib = i_argc > 1 ? QByteArray(i_argv[1]).toLongLong() : bench::Size(1024, 16);
    qint64 const l_size = l_mib << 20;
    QTemporaryDir l_dir;
    QString const l_source = l_dir.filePath("source");
    QString const l_target = l_dir.filePath("target");
    {
        QFile l_file(l_source);
        l_file.open(QIODevice::WriteOnly);
        QByteArray l_block(1 << 20, '\0');
        for (int l_k = 0; l_k < l_block.size(); ++l_k)
            l_block[l_k] = char(l_k * 31);
        for (qint64 l_k = 0; l_k < l_mib; ++l_k)
            l_file.write(l_block);
    }
    std::printf("1. %lld MiB over loopback, no limit (source in the page cache)\n", static_cast<long long>(l_mib));
    // Interleaved pairs: the ratio of each pair is taken within minutes of
    // the same load.
    std::vector<double> l_ratios;
    for (int l_pair = 0, l_pairs = bench::Size(7, 1); l_pair < l_pairs; ++l_pair) {
        double const l_plain = bench::PlainCopy(l_source, l_target, l_size, 64 * 1024);
        l_ratios.push_back(ThreadCopy(l_source, l_target, l_size) / l_plain);
    }
    bench::PlainCopy(l_source, l_target, l_size, TransferThread::LIMITED_CHUNK_SIZE);
    std::sort(l_ratios.begin(), l_ratios.end());
    std::printf("  threads against the plain 64 KiB copy: %.2f-%.2f, median %.2f (%zu pairs)\n", l_ratios.front(),
                l_ratios.back(), l_ratios[l_ratios.size() / 2], l_ratios.size());
    std::printf("  resident: %ld KiB now, %ld KiB peak\n", bench::ResidentKiB("VmRSS:"), bench::ResidentKiB("VmHWM:"));

    int const l_settleMs = bench::Size(1000, 100), l_countMs = bench::Size(6000, 300);
    std::printf("2. upload limits: aggregate over %.1f s after %.1f s (target within 5 %%); 3. stop latency\n",
                l_countMs / 1e3, l_settleMs / 1e3);
    // Quick mode keeps the one limit that moves more than a chunk a turn.
    for (int l_limit : bench::Quick() ? std::vector<int>{5000} : std::vector<int>{50, 500, 5000}) {
        for (int l_count : {1, 4}) {
            SpeedBudget l_budget;
            l_budget.SetRates(l_limit, std::max(1, l_limit / l_count));
            auto l_uploads = StartUploads(l_source, l_budget, l_count);
            Drain(l_uploads, l_settleMs);
            qint64 l_countedMs = 0;
            qint64 const l_bytes = Drain(l_uploads, l_countMs, &l_countedMs);
            bench::Require(l_bytes > 0, "nothing arrived under a limit");
            double const l_rate = double(l_bytes) / (l_countedMs / 1e3) / 1024.0;
            double const l_stopMs = Stop(l_uploads);
            std::printf("  %5d KB/s, %d transfer%s: %8.1f KB/s (%+5.1f %%), stop at most %6.1f ms\n", l_limit,
                        l_count, l_count > 1 ? "s" : " ", l_rate, 100.0 * (l_rate - l_limit) / l_limit, l_stopMs);
        }
    }
    SpeedBudget l_unlimited;
    auto l_uploads = StartUploads(l_source, l_unlimited, 4);
    Drain(l_uploads, bench::Size(500, 100));
    std::printf("  no limit, 4 transfers: stop at most %.1f ms\n", Stop(l_uploads));
    return 0;
}
