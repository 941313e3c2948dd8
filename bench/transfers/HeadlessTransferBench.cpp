// Two headless clients over loopback, started as the end-to-end tests start
// them (the stand-in server, a client sharing a file and a client that
// downloads it), against the plain 64 KiB file-to-socket-to-file copy, in
// interleaved pairs: each pair's ratio is taken within seconds of the same
// load. A download is timed from the command to the end of the file on the
// downloader's side; its own events split that into the way to the file
// connection (the request, the offer, the connection) and the transfer.
// The source is written just before (it is read from the page cache); each
// pair downloads another hard link of it, so no download finds an entry of
// the one before, and the copies are removed as soon as they are checked.
//
//   bench_headless_transfer [MiB]      default 1024, 7 pairs

#include "LineProcess.h"
#include "PlainCopy.h"
#include "bench/BenchUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

// Whether two files hold the same bytes.
bool SameBytes(QString const& i_one, QString const& i_other)
{
    QFile l_one(i_one), l_other(i_other);
    if (!l_one.open(QIODevice::ReadOnly) || !l_other.open(QIODevice::ReadOnly) || l_one.size() != l_other.size())
        return false;
    while (!l_one.atEnd())
        if (l_one.read(1 << 20) != l_other.read(1 << 20))
            return false;
    return true;
}

void PrintRange(char const* ip_what, std::vector<double> i_values, char const* ip_unit)
{
    std::sort(i_values.begin(), i_values.end());
    std::printf("  %s: %.2f-%.2f%s, median %.2f%s\n", ip_what, i_values.front(), i_values.back(), ip_unit,
                i_values[i_values.size() / 2], ip_unit);
}

} // namespace

int main(int i_argc, char** i_argv)
{
    QCoreApplication l_app(i_argc, i_argv);
    qint64 const l_mib = i_argc > 1 ? QByteArray(i_argv[1]).toLongLong() : bench::Size(1024, 16);
    qint64 const l_size = l_mib << 20;
    int const l_pairs = bench::Size(7, 1);
    QTemporaryDir l_root;
    bench::Require(l_root.isValid(), "no temporary folder");
    QString const l_shared = l_root.filePath("shared-b");
    QString const l_source = l_shared + "/big/source.bin";
    {
        QByteArray l_block(1 << 20, '\0');
        for (int l_index = 0; l_index < l_block.size(); ++l_index)
            l_block[l_index] = char(l_index * 31);
        QDir().mkpath(l_shared + "/big");
        QFile l_file(l_source);
        bench::Require(l_file.open(QIODevice::WriteOnly), "the source cannot be written");
        for (qint64 l_written = 0; l_written < l_mib; ++l_written)
            bench::Require(l_file.write(l_block) == l_block.size(), "the source cannot be written");
    }
    for (int l_pair = 0; l_pair < l_pairs; ++l_pair)
        bench::Require(::link(QFile::encodeName(l_source).constData(),
                              QFile::encodeName(QString("%1/big/pair %2.bin").arg(l_shared).arg(l_pair)).constData()) == 0,
                       "no hard link of the source");

    LineProcess l_server("server"), l_uploader("b"), l_downloader("a");
    bench::Require(l_server.Start(QStringLiteral(STANDIN_SERVER_PATH), {"0"}), "the stand-in server did not start");
    quint16 const l_port = l_server.Await("^listening on port (\\d+)$").captured(1).toUShort();
    QDir().mkpath(l_root.filePath("shared-a"));
    bench::Require(StartHeadlessClient(l_uploader, l_root.filePath("b"), "b", l_port, l_shared) &&
                       StartHeadlessClient(l_downloader, l_root.filePath("a"), "a", l_port, l_root.filePath("shared-a")),
                   "the clients did not log in with their shares");

    std::printf("%lld MiB over loopback, no limit (source in the page cache), %d interleaved pairs\n",
                static_cast<long long>(l_mib), l_pairs);
    std::vector<double> l_ratios, l_transferRatios, l_toFile, l_transferMs;
    QString const l_target = l_root.filePath("plain-target");
    for (int l_pair = 0; l_pair < l_pairs; ++l_pair) {
        double const l_plain = bench::PlainCopy(l_source, l_target, l_size, 64 * 1024);
        QFile::remove(l_target);

        QString const l_name = QString("pair %1.bin").arg(l_pair);
        QString const l_path = QString(l_shared + "/big/" + l_name).replace('/', '\\');
        int const l_from = l_downloader.Lines().size();
        QElapsedTimer l_clock;
        l_clock.start();
        l_downloader.Send(QString("download b %1 %2").arg(l_size).arg(l_path));
        QRegularExpressionMatch const l_complete =
            l_downloader.Await("^event (\\d+) download-status complete ", l_from, bench::Size(600000, WAIT_MS));
        double const l_seconds = l_clock.nsecsElapsed() / 1e9;
        bench::Require(l_complete.hasMatch(), "the download did not complete");
        QRegularExpressionMatch const l_started =
            l_downloader.Await("^event (\\d+) download-status downloading ", l_from, WAIT_MS);
        bench::Require(l_started.hasMatch(), "the download has no start");
        QString const l_copy = l_root.filePath("a") + "/Quillmar Downloads/complete/big/" + l_name;
        bench::Require(l_downloader.Await("^event \\d+ download-complete ", l_from, WAIT_MS).hasMatch() &&
                           SameBytes(l_copy, l_source),
                       "the downloaded file is not the source");
        QFile::remove(l_copy);

        double const l_transfer = (l_complete.captured(1).toLongLong() - l_started.captured(1).toLongLong()) / 1e3;
        double const l_rate = l_size / 1e6 / l_seconds;
        std::printf("  %-34s %8.0f MB/s\n", "two headless clients", l_rate);
        std::printf("    of which %.0f ms to the file connection, %.0f ms the transfer\n",
                    (l_seconds - l_transfer) * 1e3, l_transfer * 1e3);
        l_ratios.push_back(l_rate / l_plain);
        l_transferRatios.push_back(l_size / 1e6 / std::max(l_transfer, 1e-3) / l_plain);
        l_toFile.push_back((l_seconds - l_transfer) * 1e3);
        l_transferMs.push_back(l_transfer * 1e3);
    }
    PrintRange("headless clients against the plain 64 KiB copy, command to file", l_ratios, " times");
    PrintRange("the same, the transfer alone", l_transferRatios, " times");
    PrintRange("time to the file connection", l_toFile, " ms");
    bench::Require(l_uploader.Stop() == 0 && l_downloader.Stop() == 0 && l_server.Stop() == 0,
                   "a process did not end cleanly");
    return 0;
}
