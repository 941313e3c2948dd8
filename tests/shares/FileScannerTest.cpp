#include "shares/FileScanner.h"

#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

enum { kMpeg25 = 0, kMpeg2 = 2, kMpeg1 = 3 };
enum { kLayer3 = 1, kLayer2 = 2 };

// One frame: a header with the given fields and a silent body (zeros hold no
// header pattern).
QByteArray Frame(int i_version, int i_bitrateIndex, int i_frequency = 0, int i_channel = 1, int i_layer = kLayer3,
                 int i_protection = 1, int i_body = 200)
{
    QByteArray l_frame(4 + i_body, '\0');
    l_frame[0] = char(0xFF);
    l_frame[1] = char(0xE0 | (i_version << 3) | (i_layer << 1) | i_protection);
    l_frame[2] = char((i_bitrateIndex << 4) | (i_frequency << 2));
    l_frame[3] = char(i_channel << 6);
    return l_frame;
}

QByteArray Frames(int i_count, int i_version, int i_bitrateIndex, int i_frequency = 0, int i_channel = 1)
{
    QByteArray l_data;
    for (int l_index = 0; l_index < i_count; ++l_index)
        l_data += Frame(i_version, i_bitrateIndex, i_frequency, i_channel);
    return l_data;
}

struct Mp3Result
{
    bool m_ok = false;
    int m_version = 0;
    QString m_channel;
    int m_frequency = 0;
    bool m_isVBR = false;
    int m_bitrate = 0;
};

} // namespace

class FileScannerTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void ConstantAndVariableBitrate();
    void VersionsAndTies();
    void NoResult();
    void ChunkBoundary();
    void QuitStopsAnalysis();
    void AnalysisThroughSignal();
    void ListingSkipsHiddenLinksAndSpecials();
    void ScanFoldersOnThread();

private:
    Mp3Result Analyse(QByteArray const& i_data);
    QString Write(QString const& i_name, QByteArray const& i_data);

    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<FileScanner> mp_scanner;
};

void FileScannerTest::init()
{
    mp_dir.reset(new QTemporaryDir);
    QVERIFY(mp_dir->isValid());
    mp_scanner.reset(new FileScanner);
}

QString FileScannerTest::Write(QString const& i_name, QByteArray const& i_data)
{
    QString const l_path = mp_dir->filePath(i_name);
    QDir().mkpath(QFileInfo(l_path).path());
    QFile l_file(l_path);
    if (!l_file.open(QIODevice::WriteOnly) || l_file.write(i_data) != i_data.size())
        qFatal("cannot write %s", qPrintable(l_path));
    return l_path;
}

Mp3Result FileScannerTest::Analyse(QByteArray const& i_data)
{
    Mp3Result l_result;
    l_result.m_ok = mp_scanner->ScanMP3(Write("a.mp3", i_data), l_result.m_version, l_result.m_channel,
                                      l_result.m_frequency, l_result.m_isVBR, l_result.m_bitrate);
    return l_result;
}

void FileScannerTest::ConstantAndVariableBitrate()
{
    // 128 kbit/s with one stray 160 pattern inside the audio data.
    QByteArray l_data = Frames(150, kMpeg1, 9);
    QByteArray l_stray = Frame(kMpeg1, 10);
    l_data.replace(1000, 4, l_stray.left(4));
    l_data += Frames(50, kMpeg1, 9);
    Mp3Result l_result = Analyse(l_data);
    QVERIFY(l_result.m_ok);
    QCOMPARE(l_result.m_version, 1);
    QCOMPARE(l_result.m_channel, QString("joint stereo"));
    QCOMPARE(l_result.m_frequency, 0);
    QVERIFY(!l_result.m_isVBR);
    QCOMPARE(l_result.m_bitrate, 128);

    // Half 128, half 192: the average.
    l_result = Analyse(Frames(50, kMpeg1, 9) + Frames(50, kMpeg1, 11));
    QVERIFY(l_result.m_ok);
    QVERIFY(l_result.m_isVBR);
    QCOMPARE(l_result.m_bitrate, 160);

    // Exactly 98 percent is still variable; the average is truncated.
    l_result = Analyse(Frames(98, kMpeg1, 9) + Frames(2, kMpeg1, 10));
    QVERIFY(l_result.m_isVBR);
    QCOMPARE(l_result.m_bitrate, 128); // 128.64
    l_result = Analyse(Frames(99, kMpeg1, 9) + Frames(1, kMpeg1, 14));
    QVERIFY(!l_result.m_isVBR);
    QCOMPARE(l_result.m_bitrate, 128);

    // Headers that disagree with the dominant channel mode are left out of
    // the bitrate.
    l_result = Analyse(Frames(10, kMpeg1, 9, 0, 3) + Frames(3, kMpeg1, 14, 0, 0));
    QCOMPARE(l_result.m_channel, QString("mono"));
    QVERIFY(!l_result.m_isVBR);
    QCOMPARE(l_result.m_bitrate, 128);
}

void FileScannerTest::VersionsAndTies()
{
    // MPEG-2 at 22,050 Hz is frequency index 0 too; its own bitrate table.
    Mp3Result l_result = Analyse(Frames(20, kMpeg2, 8, 0, 3));
    QVERIFY(l_result.m_ok);
    QCOMPARE(l_result.m_version, 2);
    QCOMPARE(l_result.m_frequency, 0);
    QCOMPARE(l_result.m_channel, QString("mono"));
    QCOMPARE(l_result.m_bitrate, 64);

    // A tie between MPEG-1 and MPEG-2 goes to MPEG-2, whose headers alone count.
    l_result = Analyse(Frames(10, kMpeg1, 9) + Frames(10, kMpeg2, 9));
    QVERIFY(l_result.m_ok);
    QCOMPARE(l_result.m_version, 2);
    QCOMPARE(l_result.m_bitrate, 80);

    // MPEG-2.5 leading or tied gives nothing.
    QVERIFY(!Analyse(Frames(10, kMpeg25, 9)).m_ok);
    QVERIFY(!Analyse(Frames(10, kMpeg2, 9) + Frames(10, kMpeg25, 9)).m_ok);

    // Equal stereo and joint stereo: joint stereo. Equal frequency indices:
    // the higher one.
    l_result = Analyse(Frames(10, kMpeg1, 9, 1, 0) + Frames(10, kMpeg1, 9, 2, 1));
    QCOMPARE(l_result.m_channel, QString("joint stereo"));
    QCOMPARE(l_result.m_frequency, 2);
    l_result = Analyse(Frames(10, kMpeg1, 9, 0, 2));
    QCOMPARE(l_result.m_channel, QString("dual mono"));
    l_result = Analyse(Frames(10, kMpeg1, 9, 0, 0));
    QCOMPARE(l_result.m_channel, QString("stereo"));
}

void FileScannerTest::NoResult()
{
    int l_version = 7, l_frequency = 7, l_bitrate = 7;
    bool l_isVBR = true;
    QString l_channel = "unchanged";
    QVERIFY(!mp_scanner->ScanMP3(mp_dir->filePath("missing.mp3"), l_version, l_channel, l_frequency, l_isVBR,
                               l_bitrate));
    QCOMPARE(l_bitrate, -1);
    QCOMPARE(l_version, 7);
    QCOMPARE(l_channel, QString("unchanged"));

    QVERIFY(!Analyse(QByteArray()).m_ok);
    // A named pipe (which a scanned file may have become) gives no result
    // at once instead of waiting for a writer.
    QString const l_pipe = mp_dir->filePath("pipe.mp3");
    QVERIFY(mkfifo(QFile::encodeName(l_pipe).constData(), 0600) == 0);
    QVERIFY(!mp_scanner->ScanMP3(l_pipe, l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
    QVERIFY(!mp_scanner->ScanMP3(mp_dir->path(), l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
    // Layer II frames count their version but give no Layer III header.
    QByteArray l_layer2;
    for (int l_index = 0; l_index < 20; ++l_index)
        l_layer2 += Frame(kMpeg1, 9, 0, 1, kLayer2);
    QVERIFY(!Analyse(l_layer2).m_ok);
    // Free-format and bad bitrate indices, a reserved frequency.
    QVERIFY(!Analyse(Frames(10, kMpeg1, 0) + Frames(10, kMpeg1, 15)).m_ok);
    QVERIFY(!Analyse(Frames(10, kMpeg1, 9, 3)).m_ok);
    QVERIFY(!Analyse(QByteArray(100000, char(0xFF))).m_ok);
}

void FileScannerTest::ChunkBoundary()
{
    // One header and at least one byte after it, all inside the first chunk.
    QByteArray l_data(70000, '\0');
    QByteArray const l_header = Frame(kMpeg1, 9).left(4);
    QByteArray l_at = l_data;
    l_at.replace(65000, 4, l_header);
    QVERIFY(Analyse(l_at).m_ok);
    // The last five bytes of a chunk still hold a whole header and one more byte.
    l_at = l_data;
    l_at.replace(65531, 4, l_header);
    QVERIFY(Analyse(l_at).m_ok);
    // Ending exactly at the chunk's end, or crossing into the next chunk: unseen.
    l_at = l_data;
    l_at.replace(65532, 4, l_header);
    QVERIFY(!Analyse(l_at).m_ok);
    l_at = l_data;
    l_at.replace(65534, 4, l_header);
    QVERIFY(!Analyse(l_at).m_ok);
    // Headers in later chunks are seen.
    l_at = l_data;
    l_at.replace(65540, 4, l_header);
    QVERIFY(Analyse(l_at).m_ok);
    // The last four bytes of the file are never a header.
    QVERIFY(!Analyse(QByteArray(100, '\0') + l_header).m_ok);
    QVERIFY(Analyse(QByteArray(100, '\0') + l_header + QByteArray(1, '\0')).m_ok);
}

void FileScannerTest::QuitStopsAnalysis()
{
    QString const l_path = Write("q.mp3", Frames(10, kMpeg1, 9));
    int l_version = 0, l_frequency = 0, l_bitrate = 5;
    bool l_isVBR = false;
    QString l_channel;
    mp_scanner->Quit();
    QVERIFY(!mp_scanner->ScanMP3(l_path, l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
    QCOMPARE(l_bitrate, 5);
    FileScanner l_fresh;
    QVERIFY(l_fresh.ScanMP3(l_path, l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
}

void FileScannerTest::AnalysisThroughSignal()
{
    QString const l_good = Write("g.mp3", Frames(10, kMpeg1, 11));
    QString const l_bad = Write("b.mp3", QByteArray(10, 'x'));
    QSignalSpy l_spy(mp_scanner.get(), &FileScanner::MP3Scanned);
    mp_scanner->OnMP3ScanRequired(l_bad);
    QCOMPARE(l_spy.count(), 0);
    mp_scanner->OnMP3ScanRequired(l_good);
    QCOMPARE(l_spy.count(), 1);
    QList<QVariant> const l_args = l_spy.takeFirst();
    QCOMPARE(l_args.at(0).toString(), l_good);
    QCOMPARE(l_args.at(1).toInt(), 1);
    QCOMPARE(l_args.at(2).toString(), QString("joint stereo"));
    QCOMPARE(l_args.at(3).toInt(), 0);
    QCOMPARE(l_args.at(4).toBool(), false);
    QCOMPARE(l_args.at(5).toInt(), 192);
}

void FileScannerTest::ListingSkipsHiddenLinksAndSpecials()
{
    Write("root/b.txt", "bb");
    Write("root/A.txt", "a");
    Write("root/.hidden", "h");
    Write("root/.secret/x.txt", "x");
    Write("root/sub/c.txt", "ccc");
    QString const l_root = mp_dir->filePath("root");
    QVERIFY(QFile::link(l_root + "/b.txt", l_root + "/link.txt"));
    QVERIFY(QFile::link(l_root + "/sub", l_root + "/linkdir"));
    QVERIFY(mkfifo(QFile::encodeName(l_root + "/fifo").constData(), 0600) == 0);

    std::vector<FolderEntry> const l_entries = FileScanner::ListFolder(l_root);
    QCOMPARE(int(l_entries.size()), 3);
    QCOMPARE(l_entries[0].m_name, QString("A.txt"));
    QCOMPARE(l_entries[0].m_size, qint64(1));
    QCOMPARE(l_entries[0].m_path, l_root + "/A.txt");
    QCOMPARE(l_entries[1].m_name, QString("b.txt"));
    QCOMPARE(l_entries[2].m_name, QString("sub"));
    QVERIFY(l_entries[2].m_isFolder);

    // A trailing slash does not double in the entry paths; an unreadable
    // folder lists nothing.
    QCOMPARE(FileScanner::ListFolder(l_root + "/").front().m_path, l_root + "/A.txt");
    QVERIFY(FileScanner::ListFolder(mp_dir->filePath("nowhere")).empty());
}

void FileScannerTest::ScanFoldersOnThread()
{
    Write("one/a.txt", "a");
    Write("one/deep/er/b.txt", "bb");
    Write("one/empty/.keep", "");
    Write("two/c.txt", "ccc");
    QString const l_one = mp_dir->filePath("one");
    QString const l_two = mp_dir->filePath("two");

    QThread l_thread;
    FileScanner l_scanner;
    l_scanner.moveToThread(&l_thread);
    l_thread.start();
    QSignalSpy l_spy(&l_scanner, &FileScanner::FoldersScanned);
    // The nested root was already walked as part of the first one.
    QMetaObject::invokeMethod(&l_scanner, "ScanFolders",
                              Q_ARG(QStringList, QStringList({l_one, l_two, l_one + "/deep", mp_dir->filePath("gone")})));
    QVERIFY(l_spy.wait(5000));
    FileScanner::ScanResult const l_result = l_scanner.TakeResult();
    l_thread.quit();
    l_thread.wait();

    QCOMPARE(int(l_result.size()), 3);
    FileScanner::FolderFiles const& l_oneFolders = l_result.at(l_one);
    QCOMPARE(int(l_oneFolders.size()), 4);
    QCOMPARE(l_oneFolders.at(l_one).at("a.txt"), qint64(1));
    QVERIFY(l_oneFolders.at(l_one + "/empty").empty());
    QVERIFY(l_oneFolders.at(l_one + "/deep").empty());
    QCOMPARE(l_oneFolders.at(l_one + "/deep/er").at("b.txt"), qint64(2));
    QCOMPARE(l_result.at(l_two).at(l_two).at("c.txt"), qint64(3));
    // A root that cannot be listed still gets its (empty) folder.
    QVERIFY(l_result.at(mp_dir->filePath("gone")).at(mp_dir->filePath("gone")).empty());
    QVERIFY(l_scanner.TakeResult().empty());
}

QTEST_GUILESS_MAIN(FileScannerTest)
#include "FileScannerTest.moc"
