#include "SharesFixture.h"

#include "shares/FileScanner.h"

#include <QTextCodec>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum { kMpeg25 = 0, kMpeg2 = 2, kMpeg1 = 3 };
enum { kLayer3 = 1, kLayer2 = 2 };

// Frames with the given header fields and silent bodies (zeros hold no
// header pattern). Channel 1 is joint stereo.
QByteArray Frames(int i_count, int i_version, int i_bitrateIndex, int i_frequency = 0, int i_channel = 1,
                  int i_layer = kLayer3)
{
    QByteArray l_frame(204, '\0');
    l_frame[0] = char(0xFF);
    l_frame[1] = char(0xE0 | (i_version << 3) | (i_layer << 1) | 1);
    l_frame[2] = char((i_bitrateIndex << 4) | (i_frequency << 2));
    l_frame[3] = char(i_channel << 6);
    return l_frame.repeated(i_count);
}

QByteArray HeaderAt(int i_offset, int i_size = 70000)
{
    QByteArray l_data(i_size, '\0');
    return l_data.replace(i_offset, 4, Frames(1, kMpeg1, 9).left(4));
}

// Every folder a walk visits, with its files, in the order visited.
std::vector<std::pair<QString, FileScanner::FileSizes>> Walk(QString const& i_start,
                                                              FileScanner::FolderVisitor const& i_also = nullptr)
{
    std::vector<std::pair<QString, FileScanner::FileSizes>> l_visits;
    FileScanner::VisitedFolders l_visited;
    FileScanner::WalkFolders(i_start, l_visited, [&](QString const& i_folder, FileScanner::FileSizes& io_files) {
        l_visits.emplace_back(i_folder, io_files);
        return !i_also || i_also(i_folder, io_files);
    });
    return l_visits;
}

} // namespace

class FileScannerTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        mp_dir.reset(new QTemporaryDir);
        QVERIFY(mp_dir->isValid());
        mp_scanner.reset(new FileScanner);
    }

    void Analysis_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected"); // version, channel, frequency, mode, bitrate; "" for no result

        QByteArray l_stray = Frames(200, kMpeg1, 9);
        l_stray.replace(1000, 4, Frames(1, kMpeg1, 10).left(4));
        QTest::newRow("cbr with a stray header") << l_stray << "1 joint stereo 0 cbr 128";
        QTest::newRow("vbr average") << Frames(50, kMpeg1, 9) + Frames(50, kMpeg1, 11) << "1 joint stereo 0 vbr 160";
        QTest::newRow("98 percent is vbr, truncated") << Frames(98, kMpeg1, 9) + Frames(2, kMpeg1, 10)
                                                      << "1 joint stereo 0 vbr 128";
        QTest::newRow("99 percent is cbr") << Frames(99, kMpeg1, 9) + Frames(1, kMpeg1, 14) << "1 joint stereo 0 cbr 128";
        QTest::newRow("other channel modes left out") << Frames(10, kMpeg1, 9, 0, 3) + Frames(3, kMpeg1, 14, 0, 0)
                                                      << "1 mono 0 cbr 128";
        QTest::newRow("MPEG-2 at 22,050 Hz, own table") << Frames(20, kMpeg2, 8, 0, 3) << "2 mono 0 cbr 64";
        QTest::newRow("MPEG-1 and MPEG-2 tie: MPEG-2") << Frames(10, kMpeg1, 9) + Frames(10, kMpeg2, 9)
                                                       << "2 joint stereo 0 cbr 80";
        QTest::newRow("channel and frequency ties go up") << Frames(10, kMpeg1, 9, 1, 0) + Frames(10, kMpeg1, 9, 2, 1)
                                                          << "1 joint stereo 2 cbr 128";
        QTest::newRow("dual mono") << Frames(10, kMpeg1, 9, 0, 2) << "1 dual mono 0 cbr 128";
        QTest::newRow("stereo") << Frames(10, kMpeg1, 9, 0, 0) << "1 stereo 0 cbr 128";
        QTest::newRow("MPEG-2.5 leads") << Frames(10, kMpeg25, 9) << "";
        QTest::newRow("MPEG-2.5 ties") << Frames(10, kMpeg2, 9) + Frames(10, kMpeg25, 9) << "";
        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("layer II") << Frames(20, kMpeg1, 9, 0, 1, kLayer2) << "";
        QTest::newRow("bad bitrate indices") << Frames(10, kMpeg1, 0) + Frames(10, kMpeg1, 15) << "";
        QTest::newRow("reserved frequency") << Frames(10, kMpeg1, 9, 3) << "";
        QTest::newRow("all 0xFF") << QByteArray(100000, char(0xFF)) << "";
        // A header needs one more byte after it inside its 65,536-byte chunk.
        QTest::newRow("header in the first chunk") << HeaderAt(65000) << "1 joint stereo 0 cbr 128";
        QTest::newRow("header with the chunk's last byte after it") << HeaderAt(65531) << "1 joint stereo 0 cbr 128";
        QTest::newRow("header ending the chunk") << HeaderAt(65532) << "";
        QTest::newRow("header across the chunks") << HeaderAt(65534) << "";
        QTest::newRow("header in the second chunk") << HeaderAt(65540) << "1 joint stereo 0 cbr 128";
        QTest::newRow("header ending the file") << HeaderAt(96, 100) << "";
        QTest::newRow("header and one byte ending the file") << HeaderAt(95, 100) << "1 joint stereo 0 cbr 128";
    }

    void Analysis()
    {
        QFETCH(QByteArray, data);
        int l_version = 0, l_frequency = 0, l_bitrate = 0;
        bool l_isVBR = false;
        QString l_channel;
        bool const l_ok = mp_scanner->ScanMP3(Write("a.mp3", data), l_version, l_channel, l_frequency, l_isVBR, l_bitrate);
        QString const l_result = QString("%1 %2 %3 %4 %5").arg(l_version).arg(l_channel).arg(l_frequency)
                                     .arg(l_isVBR ? "vbr" : "cbr").arg(l_bitrate);
        QTEST(l_ok ? l_result : QString(), "expected");
    }

    void NoAnalysis()
    {
        int l_version = 7, l_frequency = 7, l_bitrate = 7;
        bool l_isVBR = true;
        QString l_channel = "unchanged";
        QVERIFY(!mp_scanner->ScanMP3(mp_dir->filePath("missing.mp3"), l_version, l_channel, l_frequency, l_isVBR,
                                     l_bitrate));
        QCOMPARE(l_bitrate, -1);
        QCOMPARE(l_version, 7);
        QCOMPARE(l_channel, QString("unchanged"));

        // A named pipe (which a scanned file may have become) answers at once
        // instead of waiting for a writer; so does a folder.
        QString const l_pipe = mp_dir->filePath("pipe.mp3");
        QVERIFY(mkfifo(QFile::encodeName(l_pipe).constData(), 0600) == 0);
        QVERIFY(!mp_scanner->ScanMP3(l_pipe, l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
        QVERIFY(!mp_scanner->ScanMP3(mp_dir->path(), l_version, l_channel, l_frequency, l_isVBR, l_bitrate));

        // Only successful analyses are signalled, one per file of a batch.
        QString const l_good = Write("g.mp3", Frames(10, kMpeg1, 11));
        QSignalSpy l_spy(mp_scanner.get(), &FileScanner::MP3Scanned);
        mp_scanner->OnMP3ScansRequired(QFile::encodeName(l_pipe) + '\0' + QFile::encodeName(Write("b.mp3", "xx")) +
                                       '\0' + QFile::encodeName(l_good) + '\0');
        QTRY_COMPARE(l_spy.count(), 1);
        QCOMPARE(mp_scanner->PendingMP3Count(), std::size_t(0));
        QCOMPARE(l_spy.at(0), QList<QVariant>({l_good, 1, "joint stereo", 0, false, 192}));

        // After Quit nothing is analysed and the outputs stay untouched.
        mp_scanner->Quit();
        l_bitrate = 5;
        QVERIFY(!mp_scanner->ScanMP3(l_good, l_version, l_channel, l_frequency, l_isVBR, l_bitrate));
        QCOMPARE(l_bitrate, 5);
    }

    void QuitStopsALongAnalysis()
    {
        // 64 GB of holes take many seconds to read; a quit ends the analysis
        // that is under way at once.
        QString const l_path = mp_dir->filePath("huge.mp3");
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        if (!l_file.resize(64ll << 30))
            QSKIP("no sparse files here");
        l_file.close();
        QThread l_thread;
        mp_scanner->moveToThread(&l_thread);
        l_thread.start();
        QSignalSpy l_spy(mp_scanner.get(), &FileScanner::MP3Scanned);
        QMetaObject::invokeMethod(mp_scanner.get(), "OnMP3ScanRequired", Q_ARG(QString, l_path));
        auto l_isOpen = [&l_path] {
            for (QFileInfo const& l_fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
                if (l_fd.symLinkTarget() == l_path)
                    return true;
            return false;
        };
        QTRY_VERIFY(l_isOpen());
        mp_scanner->Quit();
        l_thread.quit();
        QTRY_VERIFY(l_thread.isFinished());
        QCOMPARE(l_spy.count(), 0);
    }

    void DroppedFoldersAreNotRead()
    {
        // Analyses queued while the scanner thread is busy; the folders
        // dropped meanwhile are never read. Exactly those folders: not their
        // subfolders, nor a folder whose name begins with theirs.
        QByteArray const l_frames = Frames(10, kMpeg1, 11);
        QStringList const l_files = {Write("a/1.mp3", l_frames), Write("a/2.mp3", l_frames),
                                     Write("a/sub/3.mp3", l_frames), Write("ab/4.mp3", l_frames),
                                     Write("b/5.mp3", l_frames)};
        QThread l_thread;
        mp_scanner->moveToThread(&l_thread);
        l_thread.start();
        // Also when a check fails and returns: a thread destroyed running
        // ends the program.
        std::unique_ptr<QThread, void (*)(QThread*)> const lp_stop(&l_thread, [](QThread* ip_thread) {
            ip_thread->quit();
            ip_thread->wait();
        });
        QSemaphore l_held, l_hold;
        QMetaObject::invokeMethod(mp_scanner.get(), [&] {
            l_held.release();
            l_hold.acquire();
        }, Qt::QueuedConnection);
        QVERIFY(l_held.tryAcquire(1, WAIT_MS));
        QSignalSpy l_scanned(mp_scanner.get(), &FileScanner::MP3Scanned);
        QByteArray l_paths;
        for (QString const& l_file : l_files)
            l_paths += QFile::encodeName(l_file) + '\0';
        QMetaObject::invokeMethod(mp_scanner.get(), "OnMP3ScansRequired", Q_ARG(QByteArray, l_paths));
        QMetaObject::invokeMethod(mp_scanner.get(), "OnMP3ScansDropped",
                                  Q_ARG(QByteArray, QFile::encodeName(mp_dir->filePath("a")) + '\0' +
                                                        QFile::encodeName(mp_dir->filePath("c")) + '\0'));
        l_hold.release();
        QTRY_COMPARE_WITH_TIMEOUT(l_scanned.count(), 3, WAIT_MS);
        // Whatever is left is done before a call made now.
        QMetaObject::invokeMethod(mp_scanner.get(), [] {}, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(mp_scanner->PendingMP3Count(), std::size_t(0));
        QStringList l_read;
        for (QList<QVariant> const& l_signal : l_scanned)
            l_read << l_signal.at(0).toString();
        QCOMPARE(l_read, l_files.mid(2));
    }

    void WalkSkipsHiddenLinksAndSpecials()
    {
        Write("root/b.txt", "bb");
        Write("root/A.txt", "a");
        Write("root/.hidden", "h");
        Write("root/.secret/x.txt", "x");
        Write("root/sub/c.txt", "ccc");
        Write(QString::fromUtf8("root/\xC3\x91.txt"), "n");
        Write("root/back\\slash.txt", "b");
        Write("root/a\\b/y.txt", "y");
        QString const l_root = mp_dir->filePath("root");
        QVERIFY(QFile::link(l_root + "/b.txt", l_root + "/link.txt"));
        QVERIFY(QFile::link(l_root + "/sub", l_root + "/linkdir"));
        QVERIFY(mkfifo(QFile::encodeName(l_root + "/fifo").constData(), 0600) == 0);
        // A name that is not valid in the system's encoding (a Latin-1 "é"
        // under UTF-8) could not be opened again from its decoded form.
        if (QTextCodec::codecForLocale()->name() == "UTF-8") {
            int const l_fd = ::open((QFile::encodeName(l_root) + "/caf\xe9.txt").constData(), O_CREAT | O_WRONLY, 0600);
            QVERIFY(l_fd >= 0);
            ::close(l_fd);
        }
        // More entries than one read of the folder returns.
        FileScanner::FileSizes l_many;
        for (int l_index = 0; l_index < 1500; ++l_index)
            l_many.emplace_back(QString::asprintf("entry number %04d.txt", l_index), 1);
        for (auto const& l_file : l_many)
            Write("root/sub/many/" + l_file.first, "m");

        auto const l_visits = Walk(l_root);
        QCOMPARE(int(l_visits.size()), 3);
        QCOMPARE(l_visits[0].first, l_root);
        FileScanner::FileSizes const l_expected = {{"A.txt", 1}, {"b.txt", 2}, {QString::fromUtf8("\xC3\x91.txt"), 1}};
        QVERIFY(l_visits[0].second == l_expected);
        QCOMPARE(l_visits[1].first, l_root + "/sub");
        QVERIFY(l_visits[1].second == FileScanner::FileSizes({{"c.txt", 3}}));
        QVERIFY(l_visits[2].second == l_many);

        // A trailing slash does not double in the paths below; an absolute
        // start is not cleaned, since the paths below must begin with it; a
        // folder that cannot be read is visited with no files.
        QCOMPARE(Walk(l_root + "/").back().first, l_root + "/sub/many");
        QString const l_unclean = mp_dir->path() + "//./root";
        QCOMPARE(Walk(l_unclean).back().first, l_unclean + "/sub/many");
        auto const l_nowhere = Walk(mp_dir->filePath("nowhere"));
        QCOMPARE(int(l_nowhere.size()), 1);
        QVERIFY(l_nowhere[0].second.empty());
    }

    void FolderSwappedForALinkLeadsNowhere()
    {
        // Listed as a folder, replaced by a link to elsewhere before the walk
        // goes down into it: nothing of elsewhere may enter the share.
        Write("root/sub/mine.txt", "m");
        Write("outside/secret.txt", "s");
        Write("outside/deeper/more.txt", "s");
        QString const l_root = mp_dir->filePath("root");
        auto const l_visits = Walk(l_root, [&](QString const& i_folder, FileScanner::FileSizes&) {
            if (i_folder == l_root) {
                QDir().rename(l_root + "/sub", mp_dir->filePath("moved"));
                QFile::link(mp_dir->filePath("outside"), l_root + "/sub");
            }
            return true;
        });
        QCOMPARE(int(l_visits.size()), 1);
        QCOMPARE(l_visits[0].first, l_root);
    }

    void BindMountLoopEnds()
    {
        // A folder mounted inside itself, in a mount namespace of a child
        // process of its own so that nothing outside the test sees the mount.
        if (geteuid() != 0)
            QSKIP("needs root for a private mount namespace");
        Write("loop/a.txt", "a");
        Write("loop/inside/b.txt", "b");
        QString const l_root = mp_dir->filePath("loop");
        QVERIFY(QDir().mkpath(l_root + "/again"));
        pid_t const l_child = fork();
        QVERIFY(l_child >= 0);
        if (l_child == 0) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(QFile::encodeName(l_root).constData(), QFile::encodeName(l_root + "/again").constData(), nullptr,
                      MS_BIND, nullptr) != 0)
                _exit(77);
            // Each folder once: the root, "inside"; "again" is the root itself.
            int l_visits = 0;
            Walk(l_root, [&l_visits](QString const&, FileScanner::FileSizes&) { return ++l_visits < 100; });
            _exit(l_visits == 2 ? 0 : 1);
        }
        int l_status = 0;
        QCOMPARE(waitpid(l_child, &l_status, 0), l_child);
        QVERIFY(WIFEXITED(l_status));
        if (WEXITSTATUS(l_status) == 77)
            QSKIP("no private mount namespace here");
        QCOMPARE(WEXITSTATUS(l_status), 0);
    }

    void ScanFoldersOnThread()
    {
        Write("one/a.txt", "a");
        Write("one/deep/er/b.txt", "bb");
        Write("one/empty/.keep", "");
        Write("two/c.txt", "ccc");
        QString const l_one = mp_dir->filePath("one");
        QString const l_two = mp_dir->filePath("two");
        QString const l_gone = mp_dir->filePath("gone");

        QThread l_thread;
        FileScanner l_scanner;
        l_scanner.moveToThread(&l_thread);
        l_thread.start();
        QSignalSpy l_spy(&l_scanner, &FileScanner::FoldersScanned);
        // The nested root was already walked as part of the first one.
        QMetaObject::invokeMethod(&l_scanner, "ScanFolders",
                                  Q_ARG(QStringList, QStringList({l_one, l_two, l_one + "/deep", l_gone})));
        QVERIFY(l_spy.wait(WAIT_MS));
        FileScanner::ScanResult const l_result = l_scanner.TakeResult();
        l_thread.quit();
        l_thread.wait();

        QCOMPARE(int(l_result.size()), 3);
        FileScanner::FolderFiles const& l_oneFolders = l_result.at(l_one);
        QCOMPARE(int(l_oneFolders.size()), 4);
        QVERIFY(l_oneFolders.at(l_one) == FileScanner::FileSizes({{"a.txt", 1}}));
        QVERIFY(l_oneFolders.at(l_one + "/empty").empty());
        QVERIFY(l_oneFolders.at(l_one + "/deep").empty());
        QVERIFY(l_oneFolders.at(l_one + "/deep/er") == FileScanner::FileSizes({{"b.txt", 2}}));
        QVERIFY(l_result.at(l_two).at(l_two) == FileScanner::FileSizes({{"c.txt", 3}}));
        // A root that cannot be listed still gets its (empty) folder.
        QVERIFY(l_result.at(l_gone).at(l_gone).empty());
        QVERIFY(l_scanner.TakeResult().empty());
    }

private:
    QString Write(QString const& i_name, QByteArray const& i_data)
    {
        return WriteTestFile(*mp_dir, i_name, i_data);
    }

    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<FileScanner> mp_scanner;
};

QTEST_GUILESS_MAIN(FileScannerTest)
#include "FileScannerTest.moc"
