#ifndef QUILLMAR_TESTS_SHARES_FAKESEARCHBURST_H
#define QUILLMAR_TESTS_SHARES_FAKESEARCHBURST_H

// A burst of searches from made-up names, as a hostile parent in the
// distributed tree can send it. The client (server link, peer messenger,
// distributed tree and shares, made in the main window's order) is logged in
// to the stand-in server and shares files that every search of the burst
// matches: each search is answered, and each answer needs a connection to a
// name that nobody answers to, at two round trips to the server. A child
// takes what is passed on, and probes spread over the burst tell how late
// the relay is; a real user ("bob") on the stand-in searches during the
// burst and waits for the answer on his own listening port. The parent and
// the child are plain sockets served by a thread of their own.
//
// FakeSearchersTest runs it under the sanitizers, bench_fake_searchers for
// figures. It uses nothing that the client lacked before it was bounded, so
// that the benchmark also builds on the code before.

#include "../server/ServerTestHelpers.h"
#include "SharesFixture.h"

#include "bench/BenchUtil.h"

#include "peers/PeerMessenger.h"
#include "peers/PeerWire.h"
#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"
#include "tests/ManagerSet.h"
#include "tests/Waits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace burst {

inline qint64 MonotonicNs()
{
    timespec l_time;
    clock_gettime(CLOCK_MONOTONIC, &l_time);
    return qint64(l_time.tv_sec) * 1000000000 + l_time.tv_nsec;
}

inline qint64 ProcessCpuNs()
{
    rusage l_usage;
    getrusage(RUSAGE_SELF, &l_usage);
    auto const l_ns = [](timeval const& i_time) { return qint64(i_time.tv_sec) * 1000000000 + i_time.tv_usec * 1000; };
    return l_ns(l_usage.ru_utime) + l_ns(l_usage.ru_stime);
}

// A distributed search frame, written out by hand.
inline QByteArray SearchFrame(QByteArray const& i_user, quint32 i_token, QByteArray const& i_query)
{
    Wire l_message;
    l_message.U8(3).U32(49).Str(i_user).U32(i_token).Str(i_query);
    return Wire().U32(quint32(l_message.m_bytes.size())).Raw(l_message.m_bytes).m_bytes;
}

// The parent writes the burst at once and the probes spread over a span;
// the child notes when each probe (user "probe", token = its number) came.
class Ends
{
public:
    explicit Ends(quint16 i_port)
    {
        for (int* lp_fd : {&m_parent, &m_child}) {
            *lp_fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in l_address = {};
            l_address.sin_family = AF_INET;
            l_address.sin_port = htons(i_port);
            l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(*lp_fd, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address) != 0)
                qFatal("no loopback connection");
            ::fcntl(*lp_fd, F_SETFL, O_NONBLOCK);
        }
    }
    ~Ends()
    {
        ::close(m_parent);
        ::close(m_child);
    }

    // Probe 0 first, until the child has it (the parent is adopted); then
    // the burst and probes 1 to i_probes, probe k at k / i_probes of the
    // span; until every probe came or the deadline passed.
    void Run(QByteArray const& i_burst, int i_probes, qint64 i_spreadNs, qint64 i_deadlineNs)
    {
        qint64 const l_cpu = bench::ThreadCpuNs();
        m_sent.assign(std::size_t(i_probes) + 1, -1);
        m_arrived.assign(std::size_t(i_probes) + 1, -1);
        m_sent[0] = MonotonicNs();
        m_out = SearchFrame("probe", 0, "probe");
        while (m_arrived[0] < 0 && MonotonicNs() - m_sent[0] < i_deadlineNs)
            Turn(10);
        m_start = MonotonicNs();
        m_out += i_burst;
        int l_next = 1;
        while (MonotonicNs() - m_start < i_deadlineNs && m_received < i_probes + 1) {
            qint64 const l_now = MonotonicNs();
            while (l_next <= i_probes && l_now - m_start >= i_spreadNs * l_next / i_probes) {
                m_out += SearchFrame("probe", quint32(l_next), "probe");
                m_sent[std::size_t(l_next++)] = l_now;
            }
            Turn(l_next <= i_probes ? 1 : 10);
        }
        m_cpuNs = bench::ThreadCpuNs() - l_cpu;
        m_done = true;
    }

    // When the burst began (monotonic nanoseconds), 0 before.
    qint64 Start() const { return m_start; }
    // Each probe's delay from its sending to the child, -1 when it never came.
    std::vector<qint64> Delays() const
    {
        std::vector<qint64> l_delays;
        for (std::size_t l_probe = 1; l_probe < m_arrived.size(); ++l_probe)
            l_delays.push_back(m_arrived[l_probe] < 0 ? -1 : m_arrived[l_probe] - m_sent[l_probe]);
        return l_delays;
    }
    qint64 CpuNs() const { return m_cpuNs; }
    bool Done() const { return m_done; }

private:
    void Turn(int i_waitMs)
    {
        pollfd l_polls[2] = {{m_parent, short(m_written < m_out.size() ? POLLOUT : 0), 0}, {m_child, POLLIN, 0}};
        if (::poll(l_polls, 2, i_waitMs) <= 0)
            return;
        if ((l_polls[0].revents & POLLOUT) && m_written < m_out.size()) {
            ssize_t const l_sent = ::write(m_parent, m_out.constData() + m_written, size_t(m_out.size() - m_written));
            if (l_sent > 0)
                m_written += int(l_sent);
        }
        if (l_polls[1].revents & POLLIN) {
            char l_buffer[1 << 16];
            ssize_t const l_read = ::read(m_child, l_buffer, sizeof l_buffer);
            if (l_read > 0)
                Take(QByteArray::fromRawData(l_buffer, int(l_read)));
        }
    }

    // Cuts the child's bytes into frames and notes the probes.
    void Take(QByteArray const& i_bytes)
    {
        m_in.append(i_bytes);
        int l_at = 0;
        while (m_in.size() - l_at >= 4) {
            quint32 const l_length = qFromLittleEndian<quint32>(m_in.constData() + l_at);
            if (m_in.size() - l_at - 4 < int(l_length))
                break;
            MemStream l_message(m_in.constData() + l_at + 4, l_length);
            quint8 l_code = 0;
            qint32 l_sub = 0;
            QString l_user;
            quint32 l_token = 0;
            if (l_message.ReadU8(l_code) && l_message.ReadI32(l_sub) && l_message.ReadString(l_user) &&
                l_message.ReadU32(l_token) && l_user == QLatin1String("probe") && l_token < m_arrived.size() &&
                m_arrived[l_token] < 0) {
                m_arrived[l_token] = MonotonicNs();
                ++m_received;
            }
            l_at += 4 + int(l_length);
        }
        m_in.remove(0, l_at);
    }

    int m_parent = -1;
    int m_child = -1;
    QByteArray m_out;
    int m_written = 0;
    QByteArray m_in;
    std::vector<qint64> m_sent;
    std::vector<qint64> m_arrived;
    int m_received = 0;
    std::atomic<qint64> m_start{0};
    qint64 m_cpuNs = 0;
    std::atomic<bool> m_done{false};
};

struct Figures
{
    int m_fakes = 0;
    qint64 m_cpuNs = 0;           // the client's, the parent's and child's thread left out
    long m_residentGrowthKiB = 0; // after the burst, against before it
    long m_peakGrowthKiB = 0;
    std::vector<qint64> m_probeDelays; // nanoseconds; -1 for a probe that never came
    qint64 m_bobAnsweredNs = -1;       // from the start of the burst
    qint64 m_bobAskedNs = -1;
    int m_processed = 0;               // searches the shares judged (SearchProcessed)
    int m_failures = 0;                // ConnectionToUserFailed
    std::size_t m_userItems = 0;       // "user" items after the burst
    double m_seconds = 0;              // until everything was quiet

    int ProbesWithin(qint64 i_ns) const
    {
        int l_count = 0;
        for (qint64 l_delay : m_probeDelays)
            l_count += l_delay >= 0 && l_delay <= i_ns;
        return l_count;
    }
};

class Client : public ManagerSet<Server, PeerMessenger, DNetManager, SharedFoldersManager>
{
public:
    ~Client()
    {
        mp_ends.reset();
        StopManagers();
    }

    // Logs in to the stand-in server as "me", sharing i_files files named
    // "track N.mp3" under i_dir, with bob on the stand-in as well.
    bool Start(quint16 i_standin, QTemporaryDir const& i_dir, int i_files)
    {
        StartManagers();
        PointAt(i_standin, QStringLiteral("me"), QStringLiteral("pw"));
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        mp_shares->Init();
        for (int l_file = 0; l_file < i_files; ++l_file)
            WriteTestFile(i_dir, QStringLiteral("share/track %1.mp3").arg(l_file), "x");
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(i_dir.filePath("share"));
        if (!WaitUntil([this] { return !mp_shares->IsBusy(); }))
            return false;
        mp_server->Connect();
        // Our statistics come with the login; a speed that carries children
        // is set after them.
        if (!WaitUntil([] { return IsSettingSet("upload_speed"); }))
            return false;
        SetSetting("upload_speed", qint64(1 << 20));
        mp_dnet->OnDNetParentMinSpeed(0);
        mp_dnet->OnDNetParentSpeedConnectionRatio(1);

        if (!m_bob.Login(i_standin, QStringLiteral("bob")) || !m_bobListener.listen(QHostAddress::LocalHost, 0))
            return false;
        m_bob.Send(ServerOut::ListeningPorts(m_bobListener.serverPort(), 0));
        QObject::connect(&m_bobListener, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* lp_socket = m_bobListener.nextPendingConnection())
                QObject::connect(lp_socket, &QTcpSocket::readyRead, [this, lp_socket] { BobReads(*lp_socket); });
        });

        QTcpServer l_listener;
        l_listener.listen(QHostAddress::LocalHost, 0);
        mp_ends = std::make_unique<Ends>(l_listener.serverPort());
        std::vector<QTcpSocket*> l_near;
        while (l_near.size() < 2 && l_listener.waitForNewConnection(WAIT_MS))
            while (QTcpSocket* lp_socket = l_listener.nextPendingConnection())
                l_near.push_back(lp_socket);
        if (l_near.size() != 2)
            return false;
        for (QTcpSocket* lp_socket : l_near)
            lp_socket->setParent(nullptr);
        mp_dnet->OnDNetConnectionAccepted(QStringLiteral("dad"), l_near[0]);
        mp_dnet->OnDNetConnectionRequested(QStringLiteral("kid"), l_near[1]);
        QObject::connect(mp_shares.get(), &SharedFoldersManager::SearchProcessed, [this] {
            ++m_processed;
            m_lastSignal = MonotonicNs();
        });
        QObject::connect(mp_messenger.get(), &PeerMessenger::ConnectionToUserFailed, [this] {
            ++m_failures;
            m_lastSignal = MonotonicNs();
        });
        return true;
    }

    // The burst of i_fakes searches for "track" from "fake00001" on, with
    // i_probes probes over i_spreadMs; bob searches a twentieth into the
    // span, while the answers to the burst wait for their connections.
    // Waits until the probes came, bob has his answer and nothing happened
    // for a second, or until i_deadlineMs.
    Figures Run(int i_fakes, int i_probes, int i_spreadMs, int i_deadlineMs)
    {
        QByteArray l_burst;
        for (int l_fake = 1; l_fake <= i_fakes; ++l_fake)
            l_burst += SearchFrame(QStringLiteral("fake%1").arg(l_fake, 5, 10, QChar('0')).toLatin1(),
                                   quint32(l_fake), "track");
        bench::ResetPeak();
        Figures l_figures;
        l_figures.m_fakes = i_fakes;
        long const l_resident = bench::ResidentKiB("VmRSS:");
        qint64 const l_cpu = ProcessCpuNs();
        qint64 const l_deadline = qint64(i_deadlineMs) * 1000000;
        std::thread l_ends([&] { mp_ends->Run(l_burst, i_probes, qint64(i_spreadMs) * 1000000, l_deadline); });
        bool l_bobAsked = false;
        qint64 const l_begin = MonotonicNs();
        // The loop sleeps until something happens, and looks at the clock
        // every 10 ms: a loop that spun would count as the client's time.
        QTimer l_tick;
        l_tick.start(10);
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            qint64 const l_now = MonotonicNs();
            qint64 const l_start = mp_ends->Start();
            if (!l_bobAsked && l_start > 0 && l_now - l_start >= qint64(i_spreadMs) * 50000) {
                l_bobAsked = true;
                m_bobAsked = l_now;
                m_bob.Send(ServerOut::UserSearch(QStringLiteral("me"), 4242, QStringLiteral("track")));
            }
            bool const l_quiet = mp_ends->Done() && m_bobAnswered > 0 && l_now - m_lastSignal > 1000000000;
            if (l_quiet || l_now - l_begin > l_deadline)
                break;
        }
        l_ends.join();
        l_figures.m_seconds = (MonotonicNs() - mp_ends->Start()) / 1e9;
        l_figures.m_cpuNs = ProcessCpuNs() - l_cpu - mp_ends->CpuNs();
        l_figures.m_residentGrowthKiB = bench::ResidentKiB("VmRSS:") - l_resident;
        l_figures.m_peakGrowthKiB = bench::ResidentKiB("VmHWM:") - l_resident;
        l_figures.m_probeDelays = mp_ends->Delays();
        if (m_bobAnswered > 0)
            l_figures.m_bobAnsweredNs = m_bobAnswered - mp_ends->Start();
        l_figures.m_bobAskedNs = m_bobAsked - mp_ends->Start();
        l_figures.m_processed = m_processed;
        l_figures.m_failures = m_failures;
        l_figures.m_userItems = d.GetType("user")->GetItemCount();
        return l_figures;
    }

    PeerMessenger& Messenger() { return *mp_messenger; }
    DNetManager& DNet() { return *mp_dnet; }

private:
    // Bob's side of our connection: the handshake, then the answer (9).
    void BobReads(QTcpSocket& io_socket)
    {
        QByteArray l_frame;
        while (PeerWire::ReadFrame(io_socket, false, PeerWire::MAX_MESSAGE_LENGTH, l_frame) ==
               PeerWire::ReadResult::Complete)
            if (l_frame.startsWith(QByteArray("\x09\0\0\0", 4)) && m_bobAnswered < 0)
                m_bobAnswered = MonotonicNs();
    }

    std::unique_ptr<Ends> mp_ends;
    RawClient m_bob;
    QTcpServer m_bobListener;
    qint64 m_bobAsked = -1;
    qint64 m_bobAnswered = -1;
    int m_processed = 0;
    int m_failures = 0;
    qint64 m_lastSignal = 0;
};

} // namespace burst

#endif
