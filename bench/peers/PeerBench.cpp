// Figures of the peer connections: frame throughput (plain and obfuscated)
// and the intake of search answers arriving over a loopback connection.

#include "peers/PeerMessenger.h"
#include "peers/PeerWire.h"
#include "store/Settings.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <cstdio>

namespace {

void FrameThroughput(bool i_obfuscated)
{
    QByteArray l_payload(1024 * 1024, 'x');
    const int l_frames = 256;
    QByteArray l_stream;
    QElapsedTimer l_clock;
    l_clock.start();
    for (int l_index = 0; l_index < l_frames; ++l_index)
        l_stream += PeerWire::BuildFrame(l_payload, i_obfuscated);
    qint64 l_buildMs = l_clock.restart();
    QBuffer l_buffer(&l_stream);
    l_buffer.open(QIODevice::ReadOnly);
    QByteArray l_out;
    int l_read = 0;
    while (PeerWire::ReadFrame(l_buffer, i_obfuscated, PeerWire::MAX_MESSAGE_LENGTH, l_out) ==
           PeerWire::ReadResult::Complete)
        ++l_read;
    qint64 l_readMs = l_clock.elapsed();
    std::printf("%s frames: %d MiB built in %lld ms (%.0f MiB/s), read in %lld ms (%.0f MiB/s)\n",
                i_obfuscated ? "obfuscated" : "plain", l_read, static_cast<long long>(l_buildMs),
                l_frames * 1000.0 / qMax<qint64>(1, l_buildMs), static_cast<long long>(l_readMs),
                l_frames * 1000.0 / qMax<qint64>(1, l_readMs));
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

} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_app(i_argc, ip_argv);
    FrameThroughput(false);
    FrameThroughput(true);

    DeclareSettingsTypes();
    SetSetting("username", QString("me"));
    SetSetting("listening_port", qint64(0));
    PeerMessenger l_messenger;
    l_messenger.DataLoaded();
    d.GetType("search_request")->GetItem(Value(7u));

    const int l_answers = 200, l_files = 100;
    QByteArray l_answer = SearchAnswer(7, l_files);
    int l_received = 0;
    QObject::connect(&l_messenger, &PeerMessenger::SearchResults, [&](Item) { ++l_received; });
    QTcpSocket l_peer;
    l_peer.connectToHost(QHostAddress::LocalHost, l_messenger.ListeningPort());
    if (!l_peer.waitForConnected(5000))
        return 1;
    QByteArray l_bytes = PeerWire::BuildFrame(PeerWire::BuildInitHandshake("peer", "P"), false);
    for (int l_index = 0; l_index < l_answers; ++l_index)
        l_bytes += PeerWire::BuildFrame(l_answer, false);
    std::size_t l_itemsBefore = d.ItemCount();
    QElapsedTimer l_clock;
    l_clock.start();
    l_peer.write(l_bytes);
    while (l_received < l_answers && l_clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    qint64 l_ms = l_clock.elapsed();
    std::printf("search intake: %d answers of %d files (%d bytes each) in %lld ms: %.2f ms per answer, "
                "%.1f store items per answer\n",
                l_received, l_files, int(l_answer.size()), static_cast<long long>(l_ms), double(l_ms) / l_answers,
                double(d.ItemCount() - l_itemsBefore) / l_answers);
    return l_received == l_answers ? 0 : 1;
}
