#ifndef QUILLMAR_BENCH_TRANSFERS_PLAINCOPY_H
#define QUILLMAR_BENCH_TRANSFERS_PLAINCOPY_H

// The baseline of the transfer benchmarks: a file copied through a loopback
// socket into another file by two plain threads with blocking calls, as
// fast as this machine moves bytes that way.

#include "bench/BenchUtil.h"

#include <QElapsedTimer>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace bench {

inline double CpuSeconds()
{
    rusage l_usage;
    getrusage(RUSAGE_SELF, &l_usage);
    return double(l_usage.ru_utime.tv_sec + l_usage.ru_stime.tv_sec) +
           double(l_usage.ru_utime.tv_usec + l_usage.ru_stime.tv_usec) / 1e6;
}

// Prints the rate and gives it in MB/s.
inline double Report(char const* ip_what, qint64 i_bytes, double i_seconds, double i_cpu)
{
    double const l_rate = double(i_bytes) / 1e6 / i_seconds;
    std::printf("  %-34s %8.0f MB/s  CPU %5.0f %%\n", ip_what, l_rate, 100.0 * i_cpu / i_seconds);
    return l_rate;
}

// A plain blocking copy: one thread reads the file and sends, the other
// receives and writes, both with i_buffer bytes.
inline double PlainCopy(QString const& i_source, QString const& i_target, qint64 i_size, int i_buffer)
{
    int l_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in l_address{};
    l_address.sin_family = AF_INET;
    l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l_listener, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address);
    socklen_t l_length = sizeof l_address;
    getsockname(l_listener, reinterpret_cast<sockaddr*>(&l_address), &l_length);
    listen(l_listener, 1);
    int l_sender = socket(AF_INET, SOCK_STREAM, 0);
    connect(l_sender, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address);
    int l_receiver = accept(l_listener, nullptr, nullptr);
    close(l_listener);

    double const l_cpu = CpuSeconds();
    QElapsedTimer l_clock;
    l_clock.start();
    std::thread l_send([&] {
        int l_file = open(i_source.toLocal8Bit().constData(), O_RDONLY);
        std::vector<char> l_data(static_cast<size_t>(i_buffer));
        ssize_t l_read;
        while ((l_read = read(l_file, l_data.data(), l_data.size())) > 0)
            for (ssize_t l_sent = 0; l_sent < l_read;)
                l_sent += std::max<ssize_t>(0, send(l_sender, l_data.data() + l_sent, size_t(l_read - l_sent), 0));
        close(l_file);
        shutdown(l_sender, SHUT_WR);
    });
    int l_file = open(i_target.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char> l_data(static_cast<size_t>(i_buffer));
    qint64 l_total = 0;
    ssize_t l_got;
    while ((l_got = recv(l_receiver, l_data.data(), l_data.size(), 0)) > 0) {
        l_total += write(l_file, l_data.data(), size_t(l_got));
    }
    close(l_file);
    l_send.join();
    close(l_sender);
    close(l_receiver);
    double const l_seconds = l_clock.elapsed() / 1000.0;
    if (l_total != i_size)
        std::printf("  plain copy moved %lld of %lld bytes\n", static_cast<long long>(l_total),
                    static_cast<long long>(i_size));
    Require(l_total == i_size, "the plain copy did not move the whole file");
    return Report(QString("plain copy, %1 KiB buffers").arg(i_buffer / 1024).toLatin1().constData(), i_size,
                  l_seconds, CpuSeconds() - l_cpu);
}

} // namespace bench

#endif
