// Relay figures of the distributed search tree: searches per second from a
// parent through DNetManager to 10 children, and the delay one relay adds.
// The parent and the children are loopback sockets served by a thread of
// their own; the manager runs on the main thread as in the program, with the
// shared-folders manager answering every search (an empty index, so each
// search is rejected at its first token). Baseline in the same run: the
// same two loopback hops with the main thread copying the bytes on to the
// children without reading them. Every search has a token of its own: the
// manager neither answers nor passes on a search it has seen already.
//
//   bench_dnet_relay      (run inside unshare -n with loopback only)

#include "SharesFixture.h"
#include "bench/BenchUtil.h"

#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

int const kChildren = 10;

// Searches of one size, each with the next token.
QByteArray SearchFrame()
{
    static quint32 s_token = 12345;
    Wire l_message;
    l_message.U8(3).U32(49).Str("searcher").U32(s_token++).Str("some words to find");
    return Wire().U32(quint32(l_message.m_bytes.size())).Raw(l_message.m_bytes).m_bytes;
}

qint64 NowNs()
{
    timespec l_time;
    clock_gettime(CLOCK_MONOTONIC, &l_time);
    return qint64(l_time.tv_sec) * 1000000000 + l_time.tv_nsec;
}

// The far ends, as plain non-blocking sockets served by one poll() loop on a
// thread of their own: fd 0 is the parent, which writes; the others are
// the children, which count what arrives.
class Ends
{
public:
    explicit Ends(quint16 i_port)
    {
        for (int l_index = 0; l_index <= kChildren; ++l_index) {
            int const l_fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in l_address = {};
            l_address.sin_family = AF_INET;
            l_address.sin_port = htons(i_port);
            l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(l_fd, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address) != 0)
                std::perror("connect");
            ::fcntl(l_fd, F_SETFL, O_NONBLOCK);
            m_fds.push_back(l_fd);
        }
    }
    ~Ends()
    {
        for (int l_fd : m_fds)
            ::close(l_fd);
    }

    // Writes i_batches batches of i_perBatch frames, each once every child
    // has the one before; the nanoseconds each batch took go to o_times.
    void Send(int i_batches, int i_perBatch, std::vector<qint64>& o_times)
    {
        for (int l_round = 0; l_round < i_batches; ++l_round) {
            QByteArray l_batch;
            for (int l_frame = 0; l_frame < i_perBatch; ++l_frame)
                l_batch += SearchFrame();
            qint64 const l_start = NowNs();
            SendBatch(l_batch);
            o_times.push_back(NowNs() - l_start);
        }
    }

private:
    void SendBatch(QByteArray const& i_batch)
    {
        qint64 const l_expected = i_batch.size();
        std::vector<qint64> l_received(std::size_t(kChildren), 0);
        int l_complete = 0;
        qint64 l_written = 0;
        char l_buffer[1 << 16];
        std::vector<pollfd> l_polls;
        while (l_complete < kChildren) {
            l_polls.clear();
            for (std::size_t l_index = 0; l_index < m_fds.size(); ++l_index)
                l_polls.push_back({m_fds[l_index], short(l_index == 0 ? (l_written < l_expected ? POLLOUT : 0) : POLLIN), 0});
            if (::poll(l_polls.data(), nfds_t(l_polls.size()), WAIT_MS) <= 0) {
                std::fprintf(stderr, "nothing arrived for %d s\n", WAIT_MS / 1000);
                std::exit(1);
            }
            if ((l_polls[0].revents & POLLOUT) && l_written < l_expected) {
                ssize_t const l_sent = ::write(m_fds[0], i_batch.constData() + l_written, size_t(l_expected - l_written));
                if (l_sent > 0)
                    l_written += l_sent;
            }
            for (std::size_t l_child = 1; l_child < l_polls.size(); ++l_child) {
                if (!(l_polls[l_child].revents & (POLLIN | POLLHUP)))
                    continue;
                ssize_t const l_read = ::read(m_fds[l_child], l_buffer, sizeof l_buffer);
                if (l_read == 0) {
                    std::fprintf(stderr, "child %zu was dropped\n", l_child);
                    std::exit(1);
                }
                qint64& l_count = l_received[l_child - 1];
                if (l_read > 0 && l_count < l_expected && (l_count += l_read) >= l_expected)
                    ++l_complete;
            }
        }
    }

    std::vector<int> m_fds;
};

// Runs the sends on a thread of their own while the main thread's event
// loop serves the relay.
std::vector<qint64> RunOnEnds(Ends& io_ends, int i_batches, int i_perBatch)
{
    std::vector<qint64> l_times;
    std::atomic<bool> l_done{false};
    std::thread l_thread([&] {
        io_ends.Send(i_batches, i_perBatch, l_times);
        l_done = true;
    });
    while (!l_done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    l_thread.join();
    return l_times;
}

// The main thread's ends of the eleven connections, in connection order.
std::vector<QTcpSocket*> Accept(QTcpServer& io_listener)
{
    std::vector<QTcpSocket*> l_sockets;
    while (int(l_sockets.size()) <= kChildren && io_listener.waitForNewConnection(WAIT_MS))
        while (QTcpSocket* lp_socket = io_listener.nextPendingConnection())
            l_sockets.push_back(lp_socket);
    bench::Require(int(l_sockets.size()) == kChildren + 1, "not every end connected");
    return l_sockets;
}

struct Figures
{
    double m_perSecond = 0;
    double m_medianUs = 0;
};

// Throughput: 100 batches of 1,000 searches, each batch sent once the
// children have the one before (so at most 1,000 are on their way). Delay:
// 2,000 searches one at a time.
Figures Measure(Ends& io_ends)
{
    Figures l_figures;
    int const l_batches = bench::Size(100, 5);
    std::vector<qint64> l_times = RunOnEnds(io_ends, l_batches, 1000);
    qint64 l_total = 0;
    for (qint64 l_time : l_times)
        l_total += l_time;
    l_figures.m_perSecond = l_batches * 1000 / (l_total / 1e9);
    l_times = RunOnEnds(io_ends, bench::Size(2000, 50), 1);
    std::sort(l_times.begin(), l_times.end());
    l_figures.m_medianUs = l_times[l_times.size() / 2] / 1e3;
    return l_figures;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_frameSize = SearchFrame().size();

    // Baseline: the bytes copied on, unread.
    Figures l_baseline;
    {
        QTcpServer l_listener;
        l_listener.listen(QHostAddress::LocalHost, 0);
        Ends l_ends(l_listener.serverPort());
        std::vector<QTcpSocket*> const l_sockets = Accept(l_listener);
        QObject::connect(l_sockets[0], &QTcpSocket::readyRead, [&l_sockets] {
            QByteArray const l_bytes = l_sockets[0]->readAll();
            for (int l_child = 1; l_child <= kChildren; ++l_child)
                l_sockets[std::size_t(l_child)]->write(l_bytes);
        });
        l_baseline = Measure(l_ends);
        for (QTcpSocket* lp_socket : l_sockets)
            delete lp_socket;
    }

    Figures l_relay;
    long l_answered = 0;
    {
        DeclareSharesNeighbourTypes();
        auto lp_dnet = std::make_unique<DNetManager>();
        auto lp_shares = std::make_unique<SharedFoldersManager>();
        SetSetting("username", QStringLiteral("me"));
        SetSetting("upload_speed", qint64(1 << 20));
        lp_dnet->OnDNetParentMinSpeed(0);
        lp_dnet->OnDNetParentSpeedConnectionRatio(1);
        QObject::connect(lp_shares.get(), &SharedFoldersManager::SearchProcessed, [&l_answered] { ++l_answered; });

        QTcpServer l_listener;
        l_listener.listen(QHostAddress::LocalHost, 0);
        Ends l_ends(l_listener.serverPort());
        std::vector<QTcpSocket*> const l_sockets = Accept(l_listener);
        lp_dnet->OnDNetConnectionAccepted("parent", l_sockets[0]);
        for (int l_child = 1; l_child <= kChildren; ++l_child)
            lp_dnet->OnDNetConnectionRequested(QString("child%1").arg(l_child), l_sockets[std::size_t(l_child)]);
        RunOnEnds(l_ends, 1, 1); // the first search adopts the parent
        l_relay = Measure(l_ends);
        lp_shares.reset();
        lp_dnet.reset();
        d.Reset();
    }

    // Every search reached the answering side once: none was taken for a
    // repeat, none was lost.
    bench::Require(l_answered == 1 + bench::Size(100, 5) * 1000 + bench::Size(2000, 50),
                   "the relay did not hand every search to the answers once");
    std::printf("frame of %d bytes, %d children, %ld searches answered locally\n", l_frameSize, kChildren,
                l_answered);
    std::printf("baseline (bytes copied on unread): %.0f searches/s; one search to all children: median %.1f us\n",
                l_baseline.m_perSecond, l_baseline.m_medianUs);
    std::printf("DNetManager: %.0f searches/s; one search to all children: median %.1f us (%.1f us added)\n",
                l_relay.m_perSecond, l_relay.m_medianUs, l_relay.m_medianUs - l_baseline.m_medianUs);
    return 0;
}
