// Saves and loads a store of 1,000,000 file items with 6,000,000 links (each
// file in one of 50,000 folders and linked to 5 of 50,000 tokens, as a large
// share index would be) and prints the file size and both times. The save
// includes the write to disk; the load reads, checks and rebuilds the store.
// Then the same save in the background, as the hourly save makes it: the
// time the calling thread is held (the first slice of the gathering) and
// the time until the file is in place.
// Usage: bench_datafile [files] [folder for the data files]

#include "bench/BenchUtil.h"
#include "store/DataSaver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_files = argc > 1 ? std::atoi(argv[1]) : bench::Size(1000000, 20000);
    QTemporaryDir l_temporary;
    QString const l_folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : l_temporary.path();
    QString const l_stem = l_folder + "/.Quillmar";

    bench::DeclareShareTypes();
    std::vector<Item> l_folderItems, l_tokenItems;
    bench::MakeFoldersAndTokens(l_folderItems, l_tokenItems);
    std::mt19937 l_random(42);
    bench::AddShareFiles(l_files, l_random, l_folderItems, l_tokenItems);
    l_folderItems.clear();
    l_tokenItems.clear();
    std::size_t const l_items = d.ItemCount();

    DataSaver l_saver;
    for (char const* lp_type : {"folder", "file", "token"})
        l_saver.AddSavedType(lp_type);
    QElapsedTimer l_timer;
    l_timer.start();
    if (!l_saver.Save(l_stem)) {
        std::fprintf(stderr, "save failed\n");
        return 1;
    }
    qint64 const l_saveMs = l_timer.elapsed();
    auto const l_written = DataSaver::ListDataFiles(l_stem);
    qint64 const l_size = QFileInfo(l_written.front().second).size();

    bool l_done = false, l_saved = false;
    l_timer.restart();
    l_saver.SaveInBackground(l_stem, [&](bool i_saved) {
        l_done = true;
        l_saved = i_saved;
    });
    qint64 const l_heldUs = l_timer.nsecsElapsed() / 1000;
    while (!l_done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    qint64 const l_backgroundMs = l_timer.elapsed();
    bench::Require(l_saved, "the background save failed");

    d.Reset();
    bench::DeclareShareTypes();
    l_timer.restart();
    l_saver.Load(l_stem);
    qint64 const l_loadMs = l_timer.elapsed();

    std::printf("items %zu (loaded back %zu)\n", l_items, d.ItemCount());
    std::printf("file size %.1f MB\n", double(l_size) / 1e6);
    std::printf("save %lld ms\n", static_cast<long long>(l_saveMs));
    std::printf("save in the background: caller held %.1f ms, file in place after %lld ms (resident memory %ld MiB)\n",
                l_heldUs / 1000.0, static_cast<long long>(l_backgroundMs), bench::ResidentKiB() / 1024);
    std::printf("load %lld ms\n", static_cast<long long>(l_loadMs));
    for (auto const& l_file : DataSaver::ListDataFiles(l_stem))
        QFile::remove(l_file.second);
    bench::Require(d.ItemCount() == l_items, "the load gave back another number of items");
    return 0;
}
