// Figures of the shared-file index: the folder walk against nftw(), the
// merge into the store, files indexed per second, memory per indexed file,
// candidate lookups, and the MP3 header scan against a plain read() loop.
//
//   bench_shares [work folder]     (default: a temporary folder)
//   QM_BENCH_INDEX_ONLY=1 stops after the start-up scan (for profiling).

#include "SharesFixture.h"
#include "shares/SharedFoldersManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <unistd.h>

namespace {

int const kArtists = 400;
int const kAlbumsPerArtist = 25; // 10,000 album folders
int const kTracksPerAlbum = 16;  // plus 4 names every album repeats: a fifth
char const* const kRepeated[] = {"cover.jpg", "folder.jpg", "desktop.ini", "album.nfo"};

char const* const kWords[] = {
    "silver", "morning", "light",  "river",  "night",   "golden", "shadow", "dream",  "fire",   "rain",
    "heart",  "city",    "ocean",  "wild",   "blue",    "summer", "winter", "stone",  "road",   "echo",
    "song",   "dance",   "moon",   "star",   "garden",  "electric", "broken", "velvet", "northern", "paper",
    "glass",  "thunder", "quiet",  "lonely", "highway", "angel",  "crystal", "empire", "forest", "harbour",
    "desert", "machine", "mirror", "violet", "storm",   "window", "horizon", "love",   "time",   "home"};
int const kWordCount = int(sizeof(kWords) / sizeof(kWords[0]));

// A vocabulary with a few very common words and a long tail, as in real
// collections: the real words first, then syllable words. Ranks are drawn
// with a square-law skew, so the commonest word is in several percent of paths.
QStringList const& Vocabulary()
{
    static QStringList s_words;
    if (s_words.isEmpty()) {
        for (char const* lp_word : kWords)
            s_words << QString::fromLatin1(lp_word);
        char const* const l_syllables[] = {"ka", "lo", "mi", "ren", "sa", "tor", "vel", "an", "dri", "el",
                                           "fa", "gor", "hal", "is", "ju", "ko", "lun", "mar", "nes", "or"};
        for (int l_a = 0; l_a < 20; ++l_a)
            for (int l_b = 0; l_b < 20; ++l_b)
                for (int l_c = 0; l_c < 10; ++l_c)
                    s_words << QString::fromLatin1(l_syllables[l_a]) + l_syllables[l_b] + l_syllables[l_c * 2 % 20];
    }
    return s_words;
}

QString Words(QRandomGenerator& io_random, int i_count)
{
    QStringList const& l_vocabulary = Vocabulary();
    QStringList l_words;
    for (int l_index = 0; l_index < i_count; ++l_index) {
        double const l_draw = io_random.generateDouble();
        QString l_word = l_vocabulary[int(l_draw * l_draw * l_vocabulary.size())];
        l_word[0] = l_word[0].toUpper();
        l_words << l_word;
    }
    return l_words.join(' ');
}

int MakeTree(QString const& i_root)
{
    QRandomGenerator l_random(42);
    int l_files = 0;
    for (int l_artist = 0; l_artist < kArtists; ++l_artist) {
        QString const l_artistName = QString("%1 %2").arg(Words(l_random, 2)).arg(l_artist);
        for (int l_album = 0; l_album < kAlbumsPerArtist; ++l_album) {
            QString const l_folder = QString("%1/%2/%3 (%4)")
                                         .arg(i_root, l_artistName, Words(l_random, 3))
                                         .arg(1960 + l_random.bounded(60));
            QDir().mkpath(l_folder);
            QStringList l_names;
            for (int l_track = 1; l_track <= kTracksPerAlbum; ++l_track)
                l_names << QString("%1 - %2.mp3").arg(l_track, 2, 10, QChar('0')).arg(Words(l_random, 3));
            for (char const* lp_name : kRepeated)
                l_names << QString::fromLatin1(lp_name);
            for (QString const& l_name : l_names) {
                int const l_fd = ::open(QFile::encodeName(l_folder + '/' + l_name).constData(),
                                        O_CREAT | O_WRONLY | O_TRUNC, 0644);
                if (l_fd < 0) {
                    std::perror("open");
                    std::exit(1);
                }
                // Sparse, so that making the tree is quick; MP3 files stay small
                // because the scanner thread reads each of them once.
                qint64 const l_size = l_name.endsWith(".mp3") ? 1 + l_random.bounded(60000)
                                                               : 1 + l_random.bounded(10 * 1024 * 1024);
                if (ftruncate(l_fd, l_size) != 0)
                    std::perror("ftruncate");
                ::close(l_fd);
                ++l_files;
            }
        }
    }
    return l_files;
}

long g_nftwFiles = 0;
int CountFile(char const*, struct stat const*, int i_flag, struct FTW*)
{
    if (i_flag == FTW_F)
        ++g_nftwFiles;
    return 0;
}

double NftwMs(QString const& i_root)
{
    QElapsedTimer l_timer;
    l_timer.start();
    g_nftwFiles = 0;
    nftw(QFile::encodeName(i_root).constData(), CountFile, 64, FTW_PHYS);
    return l_timer.nsecsElapsed() / 1e6;
}

double WalkMs(QString const& i_root, std::size_t& o_files)
{
    FileScanner l_scanner;
    QElapsedTimer l_timer;
    l_timer.start();
    l_scanner.ScanFolders(QStringList{i_root});
    double const l_ms = l_timer.nsecsElapsed() / 1e6;
    FileScanner::ScanResult const l_result = l_scanner.TakeResult();
    o_files = 0;
    for (auto const& l_folder : l_result.begin()->second)
        o_files += l_folder.second.size();
    return l_ms;
}

std::size_t HeapInUse()
{
    malloc_trim(0);
    return mallinfo2().uordblks;
}

void IndexBench(QString const& i_root, int i_files)
{
    DeclareSharesNeighbourTypes();
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    d.GetType("shared_folder")->GetItem(Value(i_root));

    // Warm the cache, then compare the walks (best of three).
    std::size_t l_walked = 0;
    NftwMs(i_root);
    WalkMs(i_root, l_walked);
    double l_nftw = 1e18, l_walk = 1e18;
    for (int l_round = 0; l_round < 3; ++l_round) {
        l_nftw = std::min(l_nftw, NftwMs(i_root));
        l_walk = std::min(l_walk, WalkMs(i_root, l_walked));
    }
    std::printf("files %d in %d folders\n", i_files, kArtists * kAlbumsPerArtist);
    std::printf("walk: nftw %.1f ms (%ld files), FileScanner %.1f ms (%zu files): %.0f %% of nftw speed\n", l_nftw,
                g_nftwFiles, l_walk, l_walked, 100.0 * l_nftw / l_walk);

    // The start-up scan, best of three on a fresh store each time; the last
    // store stays for the figures that follow.
    double l_bestWalk = 1e18, l_bestMerge = 1e18, l_bestTotal = 1e18;
    std::size_t l_heapBefore = 0;
    std::size_t l_indexed = 0;
    for (int l_round = 0; l_round < 3; ++l_round) {
        if (l_round > 0) {
            lp_manager.reset();
            DeclareSharesNeighbourTypes();
            lp_manager.reset(new SharedFoldersManager);
            d.GetType("shared_folder")->GetItem(Value(i_root));
        }
        l_heapBefore = HeapInUse();
        QElapsedTimer l_timer;
        qint64 l_walkDone = 0;
        bool l_merged = false;
        FileScanner& l_scanner = lp_manager->GetFileScanner();
        QObject::connect(&l_scanner, &FileScanner::FoldersScanned, &l_scanner,
                         [&] { l_walkDone = l_timer.nsecsElapsed(); }, Qt::DirectConnection);
        QObject::connect(lp_manager.get(), &SharedFoldersManager::StartupMergeFinished, [&] { l_merged = true; });
        l_timer.start();
        lp_manager->Init();
        while (!l_merged)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        qint64 const l_end = l_timer.nsecsElapsed();
        l_indexed = d.GetType("shared_file")->GetItemCount();
        l_bestWalk = std::min(l_bestWalk, l_walkDone / 1e6);
        l_bestMerge = std::min(l_bestMerge, (l_end - l_walkDone) / 1e6);
        l_bestTotal = std::min(l_bestTotal, l_end / 1e6);
        // Let the scanner thread answer the MP3 requests so that its queue
        // holds nothing when the heap is measured.
        QMetaObject::invokeMethod(&l_scanner, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
    }
    std::printf("start-up scan (best of 3): walk %.1f ms, merge %.1f ms, %zu files indexed, %.0f files/s end to end\n",
                l_bestWalk, l_bestMerge, l_indexed, l_indexed / (l_bestTotal / 1e3));

    std::size_t const l_heapAfter = HeapInUse();
    std::printf("memory: %.0f bytes per indexed file (%zu items, %zu tokens)\n",
                double(l_heapAfter - l_heapBefore) / double(l_indexed), d.ItemCount(),
                d.GetType("search_token")->GetItemCount());

    if (qEnvironmentVariableIsSet("QM_BENCH_INDEX_ONLY"))
        return;

    // Candidates of two-token searches.
    // Median and fastest of 200 calls: the machine is shared, and a mean
    // follows whatever else runs.
    auto l_time = [&](std::vector<std::string> const& i_tokens) {
        int const l_rounds = 200;
        std::size_t l_found = 0;
        std::vector<double> l_ms;
        for (int l_round = 0; l_round < l_rounds; ++l_round) {
            QElapsedTimer l_lookup;
            l_lookup.start();
            l_found = lp_manager->GetFilesWithTokens(i_tokens).size();
            l_ms.push_back(l_lookup.nsecsElapsed() / 1e6);
        }
        std::sort(l_ms.begin(), l_ms.end());
        std::printf("lookup %s + %s: %zu candidates, median %.3f ms, fastest %.3f ms\n", i_tokens[0].c_str(),
                    i_tokens[1].c_str(), l_found, l_ms[l_ms.size() / 2], l_ms.front());
    };
    // The two commonest words, two words of middle rank, a common word with
    // the extension every track has, and two frequent tokens with no file in common.
    l_time({"silver", "morning"});
    l_time({"thunder", "violet"});
    {
        // Two rarer words that do meet: the last two of one track's title.
        Item const l_track = d.GetType("shared_file")->GetItems().begin()[i_files / 2 + 3];
        QStringList const l_words = l_track["shared_file_name"].AsString().toLower().split(' ');
        l_time({l_words[l_words.size() - 2].toStdString(), l_words.last().section('.', 0, 0).toStdString()});
    }
    l_time({"mp3", "silver"});
    l_time({"mp3", "jpg"});

    // A file lookup of a name that every album holds.
    Item const l_anyCover = d.GetType("shared_file_name")->HasItem(Value("cover.jpg")).GetItems("shared_file").begin()
                                [kArtists * kAlbumsPerArtist / 2];
    QString const l_path = l_anyCover["shared_file_folder"].AsString() + "/cover.jpg";
    for (QString const& l_asked : {l_path, l_path.toUpper()}) {
        int const l_rounds = 1000;
        QElapsedTimer l_lookup;
        l_lookup.start();
        bool l_right = true;
        for (int l_round = 0; l_round < l_rounds; ++l_round)
            l_right = l_right && lp_manager->GetSharedFileItem(l_asked) == l_anyCover;
        std::printf("file lookup of cover.jpg (%s): %.1f us%s\n", l_asked == l_path ? "exact" : "other case",
                    l_lookup.nsecsElapsed() / 1e3 / l_rounds, l_right ? "" : " WRONG ITEM");
    }

    QElapsedTimer l_rescan;
    l_rescan.start();
    lp_manager->RescanShares();
    std::printf("rescan of an unchanged tree: %.1f ms\n", l_rescan.nsecsElapsed() / 1e6);
    lp_manager.reset();
    d.Reset();
}

void Mp3Bench(QString const& i_folder)
{
    QString const l_path = i_folder + "/synthetic.mp3";
    {
        QFile l_file(l_path);
        if (!l_file.open(QIODevice::WriteOnly))
            return;
        QRandomGenerator l_random(7);
        QByteArray l_frame(417, '\0');
        qint64 l_written = 0;
        while (l_written < 200ll * 1024 * 1024) {
            for (int l_index = 4; l_index < l_frame.size(); ++l_index)
                l_frame[l_index] = char(l_random.bounded(256));
            l_frame[0] = char(0xFF);
            l_frame[1] = char(0xFB);
            l_frame[2] = char(0x90);
            l_frame[3] = char(0x40);
            l_written += l_file.write(l_frame);
        }
    }
    qint64 const l_size = QFileInfo(l_path).size();
    auto l_readLoop = [&] {
        QElapsedTimer l_timer;
        l_timer.start();
        int const l_fd = ::open(QFile::encodeName(l_path).constData(), O_RDONLY);
        std::unique_ptr<char[]> lp_buffer(new char[65536]);
        unsigned l_sum = 0;
        ssize_t l_read;
        while ((l_read = ::read(l_fd, lp_buffer.get(), 65536)) > 0)
            l_sum += static_cast<unsigned char>(lp_buffer[0]);
        ::close(l_fd);
        if (l_sum == 1)
            std::printf(" ");
        return l_timer.nsecsElapsed() / 1e9;
    };
    FileScanner l_scanner;
    int l_version = 0, l_frequency = 0, l_bitrate = 0;
    bool l_isVBR = false;
    QString l_channel;
    auto l_scan = [&] {
        QElapsedTimer l_timer;
        l_timer.start();
        l_scanner.ScanMP3(l_path, l_version, l_channel, l_frequency, l_isVBR, l_bitrate);
        return l_timer.nsecsElapsed() / 1e9;
    };
    l_readLoop();
    double l_read = 1e18, l_parse = 1e18;
    for (int l_round = 0; l_round < 3; ++l_round) {
        l_read = std::min(l_read, l_readLoop());
        l_parse = std::min(l_parse, l_scan());
    }
    double const l_gb = l_size / 1e9;
    std::printf("MP3 scan of %.0f MB: read() loop %.2f GB/s, ScanMP3 %.2f GB/s (%d kbit/s %s, %s)\n", l_size / 1e6,
                l_gb / l_read, l_gb / l_parse, l_bitrate, l_isVBR ? "vbr" : "cbr", qPrintable(l_channel));
    QFile::remove(l_path);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    QTemporaryDir l_temporary;
    QString const l_work = argc > 1 ? QString::fromLocal8Bit(argv[1]) : l_temporary.path();
    QString const l_root = l_work + "/Music";
    QElapsedTimer l_timer;
    l_timer.start();
    // A tree left by an earlier run in the same work folder is used again.
    QString const l_marker = l_work + "/tree-complete";
    int l_files = kArtists * kAlbumsPerArtist * (kTracksPerAlbum + 4);
    if (!QFile::exists(l_marker)) {
        l_files = MakeTree(l_root);
        QFile(l_marker).open(QIODevice::WriteOnly);
        std::printf("tree made in %.1f s\n", l_timer.elapsed() / 1e3);
    }
    IndexBench(l_root, l_files);
    if (!qEnvironmentVariableIsSet("QM_BENCH_INDEX_ONLY"))
        Mp3Bench(l_work);
    return 0;
}
