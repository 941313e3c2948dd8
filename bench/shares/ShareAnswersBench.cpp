// Figures of the answers to other users, through the slot the server link's
// search signal calls (OnDirectFileSearch) and the share-list provider the
// peer messenger calls for message 4 (ProvideShareList), with the event loop
// turning as in the program. A peer messenger without a network stands
// behind them: what is sent waits in its queue of unsent messages. The index
// is built straight in the store (no disk), files tokenised as a scan
// tokenises them.
//
//   bench_share_answers      (searches over 200,000 files, the share list of 1,000,000)

#include "LoopWatch.h"
#include "SharesFixture.h"
#include "bench/BenchUtil.h"
#include "peers/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
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

// Runs the event loop from i_start until i_done (looked at on every turn);
// gives the longest time the loop stood still, in milliseconds, and the
// time this thread ran in it: how long the GUI thread was held at most.
struct Stall
{
    double m_ms;
    double m_cpuMs;
};

Stall LongestStall(std::function<void()> const& i_start, std::function<bool()> const& i_done)
{
    QEventLoop l_loop;
    QTimer l_check;
    QObject::connect(&l_check, &QTimer::timeout, [&] {
        if (i_done())
            l_loop.quit();
    });
    LoopWatch l_watch;
    QTimer::singleShot(0, &l_loop, i_start);
    l_check.start(0);
    l_loop.exec();
    l_watch.Turn();
    return {l_watch.LongestMs(), l_watch.LongestCpuMs()};
}

// i_files files, 20 to an album folder, each tokenised from its path. Files
// of the marked groups also carry a token of their own: "alpha" (the first
// 5,000), "beta" (the next 5,000), "hundred" (every 1,000th) and "half"
// (every other file).
std::unique_ptr<SharedFoldersManager> BuildIndex(int i_files)
{
    DeclareSharesNeighbourTypes();
    new PeerMessenger; // deleted by Drop()
    // Every answer waits for bob, who never connects: the queue is counted
    // on, not bounded.
    PeerMessenger::Limits l_limits;
    l_limits.m_maxUnsentPerUser = l_limits.m_maxUnsentAnswers = l_limits.m_maxUnsent = INT_MAX;
    l_limits.m_maxUnsentBytesPerUser = l_limits.m_maxUnsentAnswerBytes = l_limits.m_maxUnsentBytes = LLONG_MAX;
    peerMessenger->SetLimits(l_limits);
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

void Drop(std::unique_ptr<SharedFoldersManager>& io_manager)
{
    io_manager.reset();
    delete peerMessenger;
    d.Reset();
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
    // "half" matches 100,000 of them.
    int const l_files = bench::Size(200000, 4000);
    std::unique_ptr<SharedFoldersManager> lp_manager = BuildIndex(l_files);
    std::printf("index: %d files, %zu tokens\n", l_files, d.GetType("search_token")->GetItemCount());

    int const l_rejected = bench::Size(500000, 2000);
    QElapsedTimer l_timer;
    l_timer.start();
    for (int l_round = 0; l_round < l_rejected; ++l_round)
        lp_manager->OnDirectFileSearch("bob", quint32(l_round), "absentword");
    std::printf("rejected search (token absent from the index): %.0f searches/s\n",
                l_rejected / (l_timer.nsecsElapsed() / 1e9));

    TimeSearch(*lp_manager, "alpha beta", bench::Size(2000, 20));
    TimeSearch(*lp_manager, "hundred", bench::Size(500, 5));
    // The worst case: the GUI thread's part, and the time until the worker's
    // message is with the peer messenger.
    for (int l_round = 0, l_rounds = bench::Size(7, 1); l_round < l_rounds; ++l_round) {
        int const l_queued = peerMessenger->UnsentMessageCount("bob");
        l_timer.start();
        Stall const l_stall = LongestStall([&] { lp_manager->OnDirectFileSearch("bob", 1, "half"); },
                                           [&] { return peerMessenger->UnsentMessageCount("bob") > l_queued; });
        std::printf("search \"half\" (%d files): longest stall %.0f ms (this thread ran %.0f ms of it), sent after "
                    "%.0f ms\n",
                    l_files / 2, l_stall.m_ms, l_stall.m_cpuMs, l_timer.nsecsElapsed() / 1e6);
    }
    MemStream const l_worst = lp_manager->SearchAnswer("bob", 1, "half");
    std::printf("answer to \"half\": %.2f MB compressed\n", l_worst.Size() / 1e6);
    // The answer read in slices and written on the worker is the one made
    // at once.
    QByteArray l_sliced;
    lp_manager->SetAnswerSink([&l_sliced](QString const&, QByteArray const& i_message) { l_sliced = i_message; });
    LongestStall([&] { lp_manager->OnDirectFileSearch("bob", 1, "half"); }, [&] { return !l_sliced.isEmpty(); });
    lp_manager->SetAnswerSink(SharedFoldersManager::AnswerSink());
    std::printf("  the same bytes as the answer read in slices: %s\n", l_sliced == l_worst.ToByteArray() ? "yes" : "NO");
    bench::Require(l_sliced == l_worst.ToByteArray(), "the search answer read in slices differs from the one made at once");
    MemStream const l_hundred = lp_manager->SearchAnswer("bob", 1, "hundred");
    std::printf("answer to \"hundred\" (100 files): %llu bytes compressed\n",
                static_cast<unsigned long long>(l_hundred.Size()));
    Drop(lp_manager);
}

void ShareListBench()
{
    int const l_files = bench::Size(1000000, 8000);
    std::unique_ptr<SharedFoldersManager> lp_manager = BuildIndex(l_files);

    // Through the provider, each round after a change of the index (the
    // first round's memory is the figure: later rounds reuse freed pages).
    Item const l_file = *d.GetType("shared_file")->GetItems().begin();
    QByteArray l_provided;
    for (int l_round = 0, l_rounds = bench::Size(7, 1); l_round < l_rounds; ++l_round) {
        l_file += d.GetType("shared_file_size")->GetItem(Value(l_round));
        l_provided.clear();
        bench::ResetPeak();
        long const l_resident = bench::ResidentKiB();
        QElapsedTimer l_timer;
        double l_sentMs = 0;
        quint64 l_size = 0;
        Stall const l_stall = LongestStall(
            [&] {
                l_timer.start();
                lp_manager->ProvideShareList("bob", [&](QByteArray i_message) {
                    l_size = quint64(i_message.size());
                    l_provided = i_message;
                    peerMessenger->SendMessageToUser("bob", i_message);
                    l_sentMs = l_timer.nsecsElapsed() / 1e6;
                });
            },
            [&] { return l_size > 0; });
        std::printf("share list through the provider: longest stall %.0f ms (this thread ran %.0f ms of it), sent "
                    "after %.0f ms, %.2f MB, peak resident memory +%ld MiB\n",
                    l_stall.m_ms, l_stall.m_cpuMs, l_sentMs, l_size / 1e6,
                    (bench::ResidentKiB("VmHWM:") - l_resident) / 1024);
    }
    // Baseline: the whole list made on the GUI thread in one call, as the
    // provider made it before.
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();
    double l_best = 1e18;
    MemStream l_list;
    for (int l_round = 0; l_round < 1; ++l_round) {
        QElapsedTimer l_timer;
        l_timer.start();
        l_list = lp_manager->GetSharedFilesMessage("bob");
        l_best = std::min(l_best, l_timer.nsecsElapsed() / 1e6);
    }
    std::printf("share list of %d files in one call: %.0f ms, %.2f MB, peak resident memory +%ld MiB\n",
                l_files, l_best, l_list.Size() / 1e6, (bench::ResidentKiB("VmHWM:") - l_before) / 1024);
    // The same bytes as one call of compress2.
    MemStream l_record, l_again;
    l_again.WriteU32(5);
    bool const l_same = ZlibInflate(MemStream(l_list.ToByteArray(4)), INFLATE_CAP_SHARE_LIST, l_record)
                        && ZlibCompress(l_record, l_again) && l_again.ToByteArray() == l_list.ToByteArray();
    std::printf("  the same bytes as compress2 of the record: %s\n", l_same ? "yes" : "NO");
    bench::Require(l_same, "the share list is not what one compress2 call makes");
    bool const l_sameAsRead = l_provided == l_list.ToByteArray();
    std::printf("  the same bytes as the list read in slices: %s\n", l_sameAsRead ? "yes" : "NO");
    bench::Require(l_sameAsRead, "the share list read in slices differs from the one made in one call");
    l_provided.clear();
    l_list = MemStream();
    l_record = MemStream();
    l_again = MemStream();

    // Repeated requests, answered from the list kept.
    std::vector<double> l_ms;
    for (int l_round = 0, l_rounds = bench::Size(20, 3); l_round < l_rounds; ++l_round) {
        QElapsedTimer l_timer;
        l_timer.start();
        lp_manager->ProvideShareList("carol", [](QByteArray) {});
        l_ms.push_back(l_timer.nsecsElapsed() / 1e6);
    }
    std::sort(l_ms.begin(), l_ms.end());
    std::printf("repeated share list: median %.2f ms, slowest %.2f ms (%zu rounds)\n", l_ms[l_ms.size() / 2],
                l_ms.back(), l_ms.size());
    Drop(lp_manager);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    SearchBench();
    ShareListBench();
    return 0;
}
