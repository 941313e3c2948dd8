// Real processes on loopback: the stand-in server and two or three headless
// clients trade files through it. Each run is its own CTest entry.

#include "LineProcess.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <vector>
#include <memory>

namespace {

// Bytes without 0xFF, so that nothing but the frame headers we write looks
// like an MPEG sync word.
QByteArray Filler(int i_size, quint32 i_seed)
{
    std::vector<quint32> l_words((i_size + 3) / 4);
    QRandomGenerator(i_seed).fillRange(l_words.data(), qsizetype(l_words.size()));
    QByteArray l_bytes(reinterpret_cast<char const*>(l_words.data()), i_size);
    return l_bytes.replace(char(0xFF), char(0xFE));
}

// MPEG-1 Layer III frames of 128 kbit/s at 44.1 kHz: a 4-byte header, then
// 413 bytes of body.
QByteArray Mp3Frames(int i_size)
{
    QByteArray const l_header = QByteArray::fromHex("fffb9000");
    QByteArray l_bytes = Filler(i_size, 7);
    for (int l_at = 0; l_at + 4 <= i_size; l_at += 417)
        l_bytes.replace(l_at, 4, l_header);
    return l_bytes;
}

// The remote path a peer sees for a local one.
QString Remote(QString i_path)
{
    return i_path.replace('/', '\\');
}

QStringList FilesUnder(QString const& i_folder)
{
    QStringList l_files;
    for (QDirIterator l_it(i_folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); l_it.hasNext();)
        l_files << l_it.next();
    return l_files;
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> mp_root;
    std::unique_ptr<LineProcess> mp_server;
    std::map<QString, std::unique_ptr<LineProcess>> m_clients;

    QString Home(QString const& i_user) const { return mp_root->filePath(i_user); }
    QString Downloads(QString const& i_user) const { return Home(i_user) + "/Quillmar Downloads"; }
    QString Shared(QString const& i_user) const { return mp_root->filePath("shared-" + i_user); }
    LineProcess& Client(QString const& i_user) { return *m_clients.at(i_user); }

    QString Tails() const
    {
        QString l_tails = mp_server ? mp_server->Tail() : QString();
        for (auto const& l_client : m_clients)
            l_tails += '\n' + l_client.second->Tail();
        return l_tails;
    }

    // The first line matching the pattern, or a failure with every tail.
    QRegularExpressionMatch Expect(LineProcess& io_process, QString const& i_pattern, int i_from = 0,
                                   int* op_index = nullptr)
    {
        QRegularExpressionMatch l_match = io_process.Await(i_pattern, i_from, 25000, op_index);
        if (!l_match.hasMatch())
            qWarning("no line matching \"%s\"\n%s", qPrintable(i_pattern), qPrintable(Tails()));
        return l_match;
    }

    // A client with its own home, sharing each folder under Shared(user).
    bool StartClient(QString const& i_user, QStringList const& i_settings = QStringList())
    {
        auto& lp_client = m_clients[i_user] = std::make_unique<LineProcess>(i_user);
        return StartHeadlessClient(*lp_client, Home(i_user), i_user, m_serverPort, Shared(i_user), i_settings);
    }

    // The stand-in server reports this upload speed to the user, which lets
    // him take children in the distributed tree (or not, at 0); awaited
    // until the user has told the server.
    bool SetSpeed(QString const& i_user, int i_bytesPerSecond)
    {
        int const l_from = mp_server->Lines().size();
        mp_server->Send(QStringLiteral("speed %1 %2").arg(i_user).arg(i_bytesPerSecond));
        return Expect(*mp_server, "recv 100 from " + i_user + " ", l_from).hasMatch();
    }

    // Queues the download of one of the user's shared files.
    bool Download(QString const& i_from, QString const& i_to, QString const& i_path, qint64 i_size)
    {
        QString const l_remote = Remote(i_path);
        QString const l_command = QStringLiteral("download %1 %2 %3").arg(i_from).arg(i_size).arg(l_remote);
        return !Client(i_to).Ask(l_command, "^(download-queued|error) ").filter(QRegularExpression("^download-queued ")).isEmpty();
    }

    // The event line of a download that reached a status, from the start.
    QRegularExpressionMatch AwaitDownloadStatus(QString const& i_user, QString const& i_status,
                                                QString const& i_path)
    {
        return Expect(Client(i_user), QStringLiteral("^event (\\d+) download-status %1 \\S+ (-?\\d+) %2(\\t.*)?$")
                                          .arg(i_status, QRegularExpression::escape(Remote(i_path))));
    }

private slots:
    void init()
    {
        mp_root = std::make_unique<QTemporaryDir>(QDir::homePath() + "/e2e-XXXXXX");
        QVERIFY(mp_root->isValid());
        mp_server = std::make_unique<LineProcess>("server");
        QVERIFY(mp_server->Start(QStringLiteral(STANDIN_SERVER_PATH), {"0"}));
        QRegularExpressionMatch const l_port = Expect(*mp_server, "^listening on port (\\d+)$");
        QVERIFY(l_port.hasMatch());
        m_serverPort = l_port.captured(1).toUShort();
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("%s", qPrintable(Tails()));
        for (auto& l_client : m_clients) {
            l_client.second->Send("quit");
            QCOMPARE(l_client.second->Stop(), 0);
        }
        m_clients.clear();
        mp_server->Send("quit");
        QCOMPARE(mp_server->Stop(), 0);
        mp_server.reset();
        mp_root.reset();
    }

    // The road of a search: a search reaches the user who shares the file,
    // his answer comes back with the file's details, and the download lands
    // in "complete" under its album's folder.
    void SearchAndDownload()
    {
        QString const l_file = Shared("b") + "/Music/Band/Album/alpha beta gamma.mp3";
        QVERIFY(WriteFile(l_file, Mp3Frames(5 * 1024 * 1024)));
        QVERIFY(StartClient("b"));
        QVERIFY(Expect(Client("b"), "^event \\d+ mp3-scanned 128 .*alpha beta gamma\\.mp3$").hasMatch());
        QVERIFY(StartClient("a"));

        QStringList const l_searching = Client("a").Ask("search gamma beta", "^searching ");
        QVERIFY(!l_searching.isEmpty());
        QString const l_token = l_searching.last().section(' ', 1, 1);
        QVERIFY(Expect(Client("a"), QStringLiteral("^event \\d+ results %1 b 1$").arg(l_token)).hasMatch());
        QCOMPARE(Client("a").Ask("results " + l_token, "^results-end "),
                 QStringList({QStringLiteral("result %1 b 5242880 128 %2").arg(l_token, Remote(l_file)),
                              QStringLiteral("results-end %1 1").arg(l_token)}));

        QVERIFY(Download("b", "a", l_file, 5242880));
        QString const l_target = Downloads("a") + "/complete/Album/alpha beta gamma.mp3";
        QVERIFY(Expect(Client("a"), "^event \\d+ download-complete b " + QRegularExpression::escape(l_target) + "$")
                    .hasMatch());
        QCOMPARE(FileMd5(l_target), FileMd5(l_file));
        QCOMPARE(FilesUnder(Downloads("a") + "/downloading"), QStringList());
        Client("a").Ask("status", "^status-end$");
        QCOMPARE(Client("a").Count("^event \\d+ download-complete "), 1);
        QVERIFY(Expect(*mp_server, "recv 121 from b ").hasMatch());
    }

    // A partial file is resumed from its length.
    void Resume()
    {
        QString const l_file = Shared("b") + "/Music/Band/Album/alpha beta gamma.mp3";
        QByteArray const l_bytes = Mp3Frames(5 * 1024 * 1024);
        QVERIFY(WriteFile(l_file, l_bytes));
        QVERIFY(WriteFile(Downloads("a") + "/downloading/Album/alpha beta gamma.mp3", l_bytes.left(1000000)));
        QVERIFY(StartClient("b"));
        QVERIFY(StartClient("a"));

        QVERIFY(Download("b", "a", l_file, l_bytes.size()));
        QCOMPARE(AwaitDownloadStatus("a", "downloading", l_file).captured(2), QStringLiteral("1000000"));
        QVERIFY(AwaitDownloadStatus("a", "complete", l_file).hasMatch());
        QCOMPARE(FileMd5(Downloads("a") + "/complete/Album/alpha beta gamma.mp3"),
                 QCryptographicHash::hash(l_bytes, QCryptographicHash::Md5).toHex());
    }

    // 2 MiB under a 200 KB/s upload limit take 10.24 s; measured at the
    // receiver from the start of the exchange to the last byte.
    void UploadLimit()
    {
        QString const l_file = Shared("b") + "/limited/limited.bin";
        QVERIFY(WriteFile(l_file, Filler(2 * 1024 * 1024, 3)));
        QVERIFY(StartClient("b", {"upload_speed_limit=200", "upload_speed_limit_enabled=yes"}));
        QVERIFY(StartClient("a"));

        QVERIFY(Download("b", "a", l_file, 2 * 1024 * 1024));
        QRegularExpressionMatch const l_start = AwaitDownloadStatus("a", "downloading", l_file);
        QRegularExpressionMatch const l_end = AwaitDownloadStatus("a", "complete", l_file);
        QVERIFY(l_start.hasMatch() && l_end.hasMatch());
        qint64 const l_ms = l_end.captured(1).toLongLong() - l_start.captured(1).toLongLong();
        qInfo("2 MiB at 200 KB/s took %lld ms", l_ms);
        QVERIFY2(l_ms >= 9000 && l_ms <= 11000, qPrintable(QString::number(l_ms)));
    }

    // A file unshared while its upload waits in the queue is denied and
    // never sent.
    void UnshareWhileQueued()
    {
        QString const l_first = Shared("b") + "/first/first.bin";
        QString const l_second = Shared("b") + "/second/second.bin";
        QVERIFY(WriteFile(l_first, Filler(1024 * 1024, 1)));
        QVERIFY(WriteFile(l_second, Filler(1024 * 1024, 2)));
        // The first upload holds the one slot for about 5 s.
        QVERIFY(StartClient("b", {"upload_speed_limit=200", "upload_speed_limit_enabled=yes"}));
        QVERIFY(StartClient("a"));

        QVERIFY(Download("b", "a", l_first, 1024 * 1024));
        QVERIFY(AwaitDownloadStatus("a", "downloading", l_first).hasMatch());
        QVERIFY(Download("b", "a", l_second, 1024 * 1024));
        QVERIFY(Expect(Client("b"), "^event \\d+ upload-status queued a .*second\\.bin$").hasMatch());
        QVERIFY(!Client("b").Ask("unshare " + Shared("b") + "/second", "^(unshared|error) ").isEmpty());

        QCOMPARE(AwaitDownloadStatus("a", "denied", l_second).captured(3), QStringLiteral("\tFile not shared."));
        QVERIFY(AwaitDownloadStatus("a", "complete", l_first).hasMatch());
        QCOMPARE(Client("b").Count("^event \\d+ upload-status (requesting|connecting|uploading) a .*second\\.bin$"), 0);
        QCOMPARE(Client("a").Count("^event \\d+ download-status downloading .*second\\.bin"), 0);
        QCOMPARE(FilesUnder(Downloads("a")).filter("second.bin"), QStringList());
    }

    // A search that only the root of a tree of three gets from the server
    // travels down to the grandchild, whose share answers it.
    void DistributedSearchReachesAGrandchild()
    {
        QString const l_file = Shared("g") + "/deep/grandchild treasure.txt";
        QVERIFY(WriteFile(l_file, "found"));
        QVERIFY(StartClient("s"));
        // c takes g as its child while it can take children; then it
        // cannot, so that p's list of possible parents holds nobody.
        QVERIFY(StartClient("c"));
        QVERIFY(SetSpeed("c", 1000000));
        QVERIFY(StartClient("g"));
        QVERIFY(Expect(Client("c"), "^event \\d+ dnet-child g$").hasMatch());
        QVERIFY(SetSpeed("c", 0));
        QVERIFY(StartClient("p"));
        QVERIFY(SetSpeed("p", 1000000));
        mp_server->Send("possible-parents c");
        QVERIFY(Expect(Client("p"), "^event \\d+ dnet-child c$").hasMatch());

        // The first search that p passes on makes it c's parent, and c's
        // passing it on makes c g's parent.
        for (int l_warmUp = 0; l_warmUp < 10 && (!Client("g").Count("^event \\d+ dnet-parent c$") ||
                                                 !Client("c").Count("^event \\d+ dnet-parent p$"));
             ++l_warmUp) {
            Client("s").Send("search warm up");
            Client("g").Await("^event \\d+ dnet-parent ", Client("g").Lines().size(), 2000);
        }
        QVERIFY(Expect(Client("c"), "^event \\d+ dnet-parent p$").hasMatch());
        QVERIFY(Expect(Client("g"), "^event \\d+ dnet-parent c$").hasMatch());

        int const l_serverMark = mp_server->Lines().size();
        QStringList const l_searching = Client("s").Ask("search grandchild treasure", "^searching ");
        QVERIFY(!l_searching.isEmpty());
        QString const l_token = l_searching.last().section(' ', 1, 1);
        QVERIFY(Expect(Client("s"), QStringLiteral("^event \\d+ results %1 g 1$").arg(l_token)).hasMatch());
        // The server sent it to p alone; g had it from c.
        QStringList const l_sent = mp_server->Lines().mid(l_serverMark).filter(QRegularExpression(" send (26|93) to "));
        QCOMPARE(l_sent.size(), 1);
        QVERIFY2(l_sent.first().contains(" send 93 to p "), qPrintable(l_sent.first()));
    }

    // Two downloads from two users at once while a third user floods the
    // downloader with searches that it answers.
    void TwoDownloadsUnderASearchFlood()
    {
        QString const l_fromB = Shared("b") + "/big/from-b.bin";
        QString const l_fromC = Shared("c") + "/big/from-c.bin";
        QVERIFY(WriteFile(l_fromB, Filler(20 * 1024 * 1024, 11)));
        QVERIFY(WriteFile(l_fromC, Filler(20 * 1024 * 1024, 12)));
        QVERIFY(WriteFile(Shared("a") + "/flood/flood answer.txt", "answered"));
        QVERIFY(StartClient("b"));
        QVERIFY(StartClient("c"));
        // A limit of 8 MiB/s keeps both files coming for about 5 s, long
        // enough for the flood to meet them on any machine.
        QVERIFY(StartClient("a", {"download_speed_limit=8192", "download_speed_limit_enabled=yes"}));
        QVERIFY(StartClient("d"));

        // The flood is under way before the downloads start, and goes on in
        // batches until both files are in.
        auto const l_flood = [this]() {
            for (int l_search = 0; l_search < 100; ++l_search)
                Client("d").Send("search flood answer");
        };
        l_flood();
        QVERIFY(Expect(Client("a"), "^event \\d+ searched yes flood answer$").hasMatch());
        QVERIFY(Download("b", "a", l_fromB, 20 * 1024 * 1024));
        QVERIFY(Download("c", "a", l_fromC, 20 * 1024 * 1024));
        for (int l_batch = 0; l_batch < 100 && Client("a").Count("^event \\d+ download-complete ") < 2; ++l_batch) {
            l_flood();
            Client("a").Await("^event \\d+ download-complete ", Client("a").Lines().size(), 200);
        }
        QVERIFY(AwaitDownloadStatus("a", "complete", l_fromB).hasMatch());
        QVERIFY(AwaitDownloadStatus("a", "complete", l_fromC).hasMatch());
        QCOMPARE(FileMd5(Downloads("a") + "/complete/big/from-b.bin"), FileMd5(l_fromB));
        QCOMPARE(FileMd5(Downloads("a") + "/complete/big/from-c.bin"), FileMd5(l_fromC));

        // Searches were answered while both files were coming in.
        int l_bothRunning = -1, l_firstDone = -1;
        Client("a").Await("^event \\d+ download-status downloading b ", 0, 0, &l_bothRunning);
        int l_otherRunning = -1;
        Client("a").Await("^event \\d+ download-status downloading c ", 0, 0, &l_otherRunning);
        Client("a").Await("^event \\d+ download-status complete ", 0, 0, &l_firstDone);
        QStringList const l_during = Client("a").Lines().mid(qMax(l_bothRunning, l_otherRunning),
                                                             l_firstDone - qMax(l_bothRunning, l_otherRunning));
        qInfo("%d searches answered while both files came", l_during.filter("searched yes").size());
        QVERIFY(!l_during.filter("searched yes").isEmpty());
    }

private:
    quint16 m_serverPort = 0;
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
