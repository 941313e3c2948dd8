// Figures of the answers to other users, through the slot the server link's
// search signal calls (OnDirectFileSearch) and the share-list hook the peer
// messenger calls. No peer messenger exists here, so the finished message is
// built and compressed but not written to a socket. The index is built
// straight in the store (no disk), files tokenised as a scan tokenises them.
//
//   bench_share_answers

#include "SharesFixture.h"
#include "shares/SharedFoldersManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// 4,000 made-up words; names draw from them with a fixed seed, so that the
// payloads compress about as real names do (a handful of repeated words
// would make zlib's work look worse than it is).
QString Word(QRandomGenerator& io_random)
{
    static char const* const s_syllables[] = {"ka", "lo", "mi", "ren", "sa", "tor", "vel", "an", "dri", "el",
                                              "fa", "gor", "hal", "is", "ju", "ko", "lun", "mar", "nes", "or"};
    QString l_word;
    for (int l_part = 0; l_part < 3; ++l_part)
        l_word += QLatin1String(s_syllables[io_random.bounded(20)]);
    l_word[0] = l_word[0].toUpper();
    return l_word;
}

// Resident and peak resident memory in KiB.
void Memory(long& o_rss, long& o_peak)
{
    QFile l_status("/proc/self/status");
    l_status.open(QIODevice::ReadOnly);
    for (QByteArray const& l_line : l_status.readAll().split('\n')) {
        if (l_line.startsWith("VmRSS:"))
            o_rss = l_line.mid(6).trimmed().split(' ').front().toLong();
        if (l_line.startsWith("VmHWM:"))
            o_peak = l_line.mid(6).trimmed().split(' ').front().toLong();
    }
}

// i_files files, 20 to an album folder, each tokenised from its path. Files
// of the marked groups also carry a token of their own: "alpha" (the first
// 5,000), "beta" (the next 5,000), "hundred" (every 1,000th) and "half"
// (every other file).
std::unique_ptr<SharedFoldersManager> BuildIndex(int i_files)
{
    DeclareSharesNeighbourTypes();
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    SetSetting("username", QStringLiteral("me"));
    Item const l_root = d.GetType("shared_folder")->GetItem(Value("/music"));
    l_root += d.GetType("shared_public")->GetGlobalNullItem();
    Type* const lp_file = d.GetType("shared_file");
    Type* const lp_folder = d.GetType("shared_file_folder");
    Type* const lp_name = d.GetType("shared_file_name");
    Type* const lp_size = d.GetType("shared_file_size");
    Type* const lp_token = d.GetType("search_token");
    Item const l_bitrate = d.GetType("bitrate")->GetItem(Value(192));
    Item const l_mode = d.GetType("bitrate_mode")->GetItem(Value("cbr"));
    QRandomGenerator l_random(42);
    QString l_artist;
    Item l_folder;
    for (int l_index = 0; l_index < i_files; ++l_index) {
        if (l_index % 400 == 0)
            l_artist = Word(l_random) + ' ' + Word(l_random);
        if (l_index % 20 == 0) {
            l_folder = lp_folder->GetItem(Value(QString("/music/%1/%2 %3 (%4)")
                                                    .arg(l_artist, Word(l_random), Word(l_random))
                                                    .arg(1960 + l_index / 20 % 60)));
            l_folder += l_root;
        }
        Item const l_file = lp_file->NewItem();
        l_file += l_folder;
        l_file += lp_name->GetItem(Value(QString("%1 - %2 %3 %4.mp3")
                                             .arg(l_index % 20 + 1, 2, 10, QChar('0'))
                                             .arg(Word(l_random), Word(l_random), Word(l_random))));
        l_file += lp_size->GetItem(Value(4000000 + l_index));
        l_file += l_bitrate;
        l_file += l_mode;
        lp_manager->TokenizeSharedFile(l_file);
        if (l_index < 5000)
            l_file += lp_token->GetItem(Value("alpha"));
        else if (l_index < 10000)
            l_file += lp_token->GetItem(Value("beta"));
        if (l_index % 1000 == 0)
            l_file += lp_token->GetItem(Value("hundred"));
        if (l_index % 2 == 0)
            l_file += lp_token->GetItem(Value("half"));
    }
    return lp_manager;
}

// Median and fastest of i_rounds searches, in milliseconds.
void TimeSearch(SharedFoldersManager& io_manager, char const* ip_text, int i_rounds)
{
    std::vector<double> l_ms;
    for (int l_round = 0; l_round < i_rounds; ++l_round) {
        QElapsedTimer l_timer;
        l_timer.start();
        io_manager.OnDirectFileSearch("bob", quint32(l_round), ip_text);
        l_ms.push_back(l_timer.nsecsElapsed() / 1e6);
    }
    std::sort(l_ms.begin(), l_ms.end());
    std::printf("search \"%s\": median %.3f ms, fastest %.3f ms (%d rounds)\n", ip_text, l_ms[l_ms.size() / 2],
                l_ms.front(), i_rounds);
}

void SearchBench()
{
    std::unique_ptr<SharedFoldersManager> lp_manager = BuildIndex(100000);
    std::printf("index: 100,000 files, %zu tokens\n", d.GetType("search_token")->GetItemCount());

    int const l_rejected = 500000;
    QElapsedTimer l_timer;
    l_timer.start();
    for (int l_round = 0; l_round < l_rejected; ++l_round)
        lp_manager->OnDirectFileSearch("bob", quint32(l_round), "absentword");
    std::printf("rejected search (token absent from the index): %.0f searches/s\n",
                l_rejected / (l_timer.nsecsElapsed() / 1e9));

    TimeSearch(*lp_manager, "alpha beta", 2000);
    TimeSearch(*lp_manager, "hundred", 500);
    TimeSearch(*lp_manager, "half", 10);
    MemStream const l_worst = lp_manager->SearchAnswer("bob", 1, "half");
    std::printf("answer to \"half\" (50,000 files): %.2f MB compressed\n", l_worst.Size() / 1e6);
    MemStream const l_hundred = lp_manager->SearchAnswer("bob", 1, "hundred");
    std::printf("answer to \"hundred\" (100 files): %llu bytes compressed\n",
                static_cast<unsigned long long>(l_hundred.Size()));
    lp_manager.reset();
    d.Reset();
}

void ShareListBench()
{
    std::unique_ptr<SharedFoldersManager> lp_manager = BuildIndex(200000);
    long l_rss = 0, l_peakBefore = 0, l_peakAfter = 0;
    Memory(l_rss, l_peakBefore);
    double l_best = 1e18;
    quint64 l_size = 0;
    for (int l_round = 0; l_round < 3; ++l_round) {
        QElapsedTimer l_timer;
        l_timer.start();
        MemStream const l_list = lp_manager->GetSharedFilesMessage("bob");
        l_best = std::min(l_best, l_timer.nsecsElapsed() / 1e6);
        l_size = l_list.Size();
    }
    Memory(l_rss, l_peakAfter);
    std::printf("share list of 200,000 files: best of 3 %.0f ms, %.2f MB compressed, peak resident memory +%ld MiB\n",
                l_best, l_size / 1e6, (l_peakAfter - l_peakBefore) / 1024);
    // The part before the record is written and compressed.
    QElapsedTimer l_timer;
    l_timer.start();
    FileInfoMap l_share;
    AttributeTranslationTable l_table;
    lp_manager->GetSharedFilesAsUserShare("bob", l_share, l_table);
    std::printf("  of which collecting the folders and files: %.0f ms\n", l_timer.nsecsElapsed() / 1e6);
    lp_manager.reset();
    d.Reset();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    SearchBench();
    ShareListBench();
    return 0;
}
