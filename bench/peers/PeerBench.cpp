// Figures of the peer connections, all over a real loopback connection:
// frames read as the messenger reads them (plain and obfuscated), and the
// intake of search answers, timed per answer with a microsecond clock. Each
// answer is for a search of its own: the messenger drops an answer that
// repeats an earlier one for the same search. Then what hostile peers try:
// a share list whose attribute-name table alone passes the caps, refused by
// the decoder (against inflating the same bytes alone), and a flood of
// unknown messages with diagnostics on, from a short name and from a long
// one, with the longest time the event loop waited and the memory the
// log's queue took and gave back. The lines also reach the window's
// Diagnostics page, as in the program, behind another page (its lines wait
// until it is shown): the memory after a flood is what a user's process
// keeps, a second after it, and again ten seconds after.

#include "peers/PeerMessenger.h"
#include "bench/BenchUtil.h"
#include "peers/PeerCodec.h"
#include "peers/PeerWire.h"
#include "server/StoreTypes.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/windows/DiagnosticsForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Microseconds(QElapsedTimer const& i_clock)
{
    return double(i_clock.nsecsElapsed()) / 1000.0;
}

// 256 frames of 1 MiB written on one end of a loopback connection and read
// with ReadFrame on the other as they arrive.
void FrameThroughput(bool i_obfuscated)
{
    const int l_frames = bench::Size(256, 8);
    QByteArray l_payload(1024 * 1024, 'x');
    QTcpServer l_server;
    l_server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket l_writer;
    l_writer.connectToHost(QHostAddress::LocalHost, l_server.serverPort());
    if (!l_writer.waitForConnected(WAIT_MS) || !l_server.waitForNewConnection(WAIT_MS))
        bench::Fail("no loopback connection");
    QTcpSocket* lp_reader = l_server.nextPendingConnection();
    QElapsedTimer l_clock;
    l_clock.start();
    QByteArray l_stream;
    for (int l_index = 0; l_index < l_frames; ++l_index)
        l_stream += PeerWire::BuildFrame(l_payload, i_obfuscated);
    double l_buildUs = Microseconds(l_clock);
    l_clock.restart();
    l_writer.write(l_stream);
    QByteArray l_out;
    int l_read = 0;
    while (l_read < l_frames && l_clock.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        while (PeerWire::ReadFrame(*lp_reader, i_obfuscated, PeerWire::MAX_MESSAGE_LENGTH, l_out) ==
               PeerWire::ReadResult::Complete)
            ++l_read;
    }
    double l_readUs = Microseconds(l_clock);
    std::printf("%s frames over loopback: %d x 1 MiB built at %.0f MiB/s, sent and read at %.0f MiB/s\n",
                i_obfuscated ? "obfuscated" : "plain", l_read, l_frames * 1e6 / l_buildUs, l_read * 1e6 / l_readUs);
    delete lp_reader;
    bench::Require(l_read == l_frames, "not every frame arrived within a minute");
}

QByteArray SearchAnswer(quint32 i_token, int i_files)
{
    MemStream l_record;
    l_record.WriteString(QString("peer"));
    l_record.WriteU32(i_token);
    l_record.WriteU32(quint32(i_files));
    for (int l_index = 0; l_index < i_files; ++l_index) {
        l_record.WriteU8(1);
        l_record.WriteRaw(QString("music\\artist %1\\album\\track %2.mp3").arg(l_index / 10).arg(l_index).toStdString());
        l_record.WriteU64(5000000 + quint64(l_index));
        l_record.WriteRaw(std::string("mp3"));
        l_record.WriteU32(2);
        l_record.WriteU32(0);
        l_record.WriteU32(320);
        l_record.WriteU32(2);
        l_record.WriteU32(0);
    }
    l_record.WriteU8(1);
    l_record.WriteU32(100000);
    l_record.WriteU32(0);
    l_record.WriteU32(0);
    QByteArray l_compressed;
    ZlibCompress(l_record.Data(), l_record.Size(), l_compressed);
    MemStream l_message;
    l_message.WriteU32(9);
    l_message.WriteBuffer(l_compressed.constData(), quint64(l_compressed.size()));
    return l_message.ToByteArray();
}

// A share list of no folder and 6,000,000 attribute names of 9 bytes: 54 MB
// inflated, 50 KB on the wire.
void NameTableBomb()
{
    int const l_names = bench::Size(6000000, 100000);
    MemStream l_record;
    l_record.WriteU32(0);
    l_record.WriteU32(quint32(l_names));
    for (int l_name = 0; l_name < l_names; ++l_name) {
        l_record.WriteU32(quint32(l_name));
        l_record.WriteRaw(std::string("n"));
    }
    MemStream l_message;
    l_message.WriteU32(5);
    bench::Require(ZlibCompress(l_record, l_message), "cannot compress the list");
    l_record = MemStream();
    bench::ResetPeak();
    long const l_resident = bench::ResidentKiB();
    QElapsedTimer l_clock;
    l_clock.start();
    MemStream l_inflated;
    l_message.SetReadIndex(4);
    bench::Require(ZlibInflate(l_message, INFLATE_CAP_SHARE_LIST, l_inflated), "the list does not inflate");
    double const l_inflateMs = l_clock.nsecsElapsed() / 1e6;
    long const l_inflatedKiB = bench::ResidentKiB("VmHWM:") - l_resident;
    l_inflated = MemStream();
    l_message.SetReadIndex(0);
    bench::ResetPeak();
    l_clock.restart();
    PeerCodec::Message l_decoded;
    PeerCodec::Status const l_status = PeerCodec::Decode(l_message, l_decoded);
    double const l_decodeMs = l_clock.nsecsElapsed() / 1e6;
    bench::Require(l_status.m_fault == PeerCodec::Fault::Malformed, "the list was not refused");
    std::printf("share list of %d attribute names (%llu bytes sent): refused in %.0f ms, peak memory %+ld MiB "
                "(baseline, inflating it alone: %.0f ms, %+ld MiB)\n",
                l_names, static_cast<unsigned long long>(l_message.Size()), l_decodeMs,
                (bench::ResidentKiB("VmHWM:") - l_resident) / 1024, l_inflateMs, l_inflatedKiB / 1024);
}

// Runs the event loop until the log's queue is written (the seconds on the
// clock by then), then a second more: what the program does next gives the
// memory back, or not.
void Idle(int i_ms);

double AwaitLogWritten(bench::StallProbe& io_probe, QElapsedTimer const& i_clock)
{
    int const l_limitMs = bench::LimitMs(240000);
    io_probe.RunUntil([&] { return QueuedLogLines() == 0 || i_clock.elapsed() > l_limitMs; });
    bench::RequireEnded(QueuedLogLines() == 0, "writing the log's queue", l_limitMs);
    double const l_writtenS = i_clock.nsecsElapsed() / 1e9;
    Idle(1000);
    return l_writtenS;
}

void Idle(int i_ms)
{
    QElapsedTimer l_idle;
    l_idle.start();
    while (l_idle.elapsed() < i_ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// The longest wait of the event loop, the processor time since i_cpu and
// the resident memory against i_before (KiB).
QByteArray Figures(bench::StallProbe const& i_probe, std::int64_t i_cpu, long i_before)
{
    long const l_peak = bench::ResidentKiB("VmHWM:");
    long const l_after = bench::ResidentKiB();
    double const l_cpu = (bench::ThreadCpuNs() - i_cpu) / 1e9;
    Idle(bench::Size(9000, 100));
    return QString::asprintf("the event loop waited %.1f ms at most (%.1f ms of its processor time), %.2f s of "
                             "processor time; resident %ld MiB before, peak %+ld MiB, %+ld MiB after, %+ld MiB "
                             "10 s after",
                             i_probe.LongestMs(), i_probe.LongestCpuMs(), l_cpu, i_before / 1024,
                             (l_peak - i_before) / 1024, (l_after - i_before) / 1024,
                             (bench::ResidentKiB() - i_before) / 1024)
        .toUtf8();
}

// 400,000 unknown messages of 8 bytes in one write on a messaging connection
// from a peer of that name, each logged with diagnostics on (or counted,
// once the log's queue is full): the time until the last is handled, the
// longest wait of the event loop and its processor time meanwhile, and the
// resident memory before, at its peak, and once the log's queue has been
// written.
void LogFlood(PeerMessenger& io_messenger, QString const& i_name)
{
    int const l_messages = bench::Size(400000, 20000);
    // The flooder is who he says, as the server would confirm.
    Item const l_flooder = d.GetType("user")->GetItem(Value(i_name));
    SetAttribute(l_flooder, "user_address", Value(static_cast<unsigned long long>(0x7F000001)));
    SetAttribute(l_flooder, "user_port", Value(1));
    SetSetting("show_diagnostics", QString("yes"));
    QByteArray const l_frame = PeerWire::BuildFrame(QByteArray::fromHex("6300000001020304"), false);
    QByteArray l_flood;
    l_flood.reserve(l_messages * l_frame.size() + 8);
    for (int l_message = 0; l_message < l_messages; ++l_message)
        l_flood += l_frame;
    l_flood += PeerWire::BuildFrame(QByteArray::fromHex("0f000000"), false); // 15, handled last
    QByteArray const l_bytes = PeerWire::BuildFrame(PeerWire::BuildInitHandshake(i_name, "P"), false) + l_flood;
    l_flood = QByteArray();
    QTcpSocket l_peer;
    l_peer.connectToHost(QHostAddress::LocalHost, io_messenger.ListeningPort());
    bench::Require(l_peer.waitForConnected(WAIT_MS), "no connection to the messenger");
    bool l_done = false;
    QMetaObject::Connection const l_watch =
        QObject::connect(&io_messenger, &PeerMessenger::UserInfoRequested, [&l_done] { l_done = true; });
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();
    QElapsedTimer l_clock;
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    bench::StallProbe l_probe;
    l_clock.start();
    l_peer.write(l_bytes);
    int const l_limitMs = bench::LimitMs(120000);
    l_probe.RunUntil([&] { return l_done || l_clock.elapsed() > l_limitMs; });
    bench::RequireEnded(l_done, "handling the flood", l_limitMs);
    double const l_handledS = l_clock.nsecsElapsed() / 1e9;
    double const l_writtenS = AwaitLogWritten(l_probe, l_clock);
    std::printf("flood of %d unknown messages from a name of %d bytes, diagnostics on: handled in %.2f s, "
                "the log written in %.2f s, %s\n",
                l_messages, int(i_name.toUtf8().size()), l_handledS, l_writtenS,
                Figures(l_probe, l_cpu, l_before).constData());
    QObject::disconnect(l_watch);
    SetSetting("show_diagnostics", QString("no"));
}

// The same lines as the flood from the long name makes, 400,000 logged in
// one go, as a slow disk has them wait: what the log's queue holds at its
// peak, the longest wait of the event loop while the queue is written and
// the processor time, and the resident memory once it is written.
void LogQueueFlood(int i_nameBytes)
{
    int const l_lines = bench::Size(400000, 20000);
    SetSetting("show_diagnostics", QString("yes"));
    QString const l_text = QString("Message 99 from %1 is of a kind we do not know").arg(QString(i_nameBytes, 'n'));
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    QElapsedTimer l_clock;
    l_clock.start();
    for (int l_line = 0; l_line < l_lines; ++l_line)
        Log("Peer Connections", 1, l_text);
    std::size_t const l_queued = QueuedLogLines();
    double const l_loggedS = l_clock.nsecsElapsed() / 1e9;
    long const l_queuedKiB = bench::ResidentKiB() - l_before;
    bench::StallProbe l_probe;
    double const l_writtenS = AwaitLogWritten(l_probe, l_clock);
    std::printf("%d lines naming a peer of %d bytes logged at once: %.2f s, %zu queued (%+ld MiB), written in "
                "%.2f s more, %s\n",
                l_lines, i_nameBytes, l_loggedS, l_queued, l_queuedKiB / 1024, l_writtenS - l_loggedS,
                Figures(l_probe, l_cpu, l_before).constData());
    SetSetting("show_diagnostics", QString("no"));
}

} // namespace

int main(int i_argc, char** ip_argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(i_argc, ip_argv);
    DiagnosticsForm l_diagnostics;
    l_diagnostics.Init();
    FrameThroughput(false);
    FrameThroughput(true);

    DeclareSettingsTypes();
    SetSetting("username", QString("me"));
    SetSetting("listening_port", qint64(0));
    PeerMessenger l_messenger;
    l_messenger.DataLoaded();

    // Each answer is written once the one before it is taken, so that the
    // time of one answer is the time from its write to its signal.
    const int l_answers = bench::Size(200, 20), l_files = 100;
    std::vector<QByteArray> l_frames;
    for (quint32 l_token = 1; l_token <= quint32(l_answers); ++l_token) {
        d.GetType("search_request")->GetItem(Value(l_token));
        l_frames.push_back(PeerWire::BuildFrame(SearchAnswer(l_token, l_files), false));
    }
    std::vector<double> l_times;
    QElapsedTimer l_clock;
    QTcpSocket l_peer;
    QObject::connect(&l_messenger, &PeerMessenger::SearchResults, [&](Item) {
        l_times.push_back(Microseconds(l_clock));
        if (int(l_times.size()) < l_answers) {
            l_clock.restart();
            l_peer.write(l_frames[l_times.size()]);
        }
    });
    l_peer.connectToHost(QHostAddress::LocalHost, l_messenger.ListeningPort());
    if (!l_peer.waitForConnected(WAIT_MS))
        bench::Fail("no connection to the messenger");
    l_peer.write(PeerWire::BuildFrame(PeerWire::BuildInitHandshake("peer", "P"), false));
    std::size_t l_itemsBefore = d.ItemCount();
    QElapsedTimer l_limit;
    l_limit.start();
    l_clock.start();
    l_peer.write(l_frames.front());
    while (int(l_times.size()) < l_answers && l_limit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    bench::Require(int(l_times.size()) == l_answers, "not every search answer was taken within a minute");
    std::vector<double> l_sorted = l_times;
    std::sort(l_sorted.begin(), l_sorted.end());
    std::printf("search intake over loopback: %d answers of %d files (%d bytes each): median %.0f us, "
                "90th percentile %.0f us per answer, %.1f store items per answer\n",
                l_answers, l_files, int(l_frames.front().size()), l_sorted[l_sorted.size() / 2],
                l_sorted[l_sorted.size() * 9 / 10], double(d.ItemCount() - l_itemsBefore) / l_answers);

    NameTableBomb();
    LogFlood(l_messenger, "flooder");
    LogFlood(l_messenger, QString(3990, 'n'));
    LogQueueFlood(7);
    LogQueueFlood(3990);
    return 0;
}
