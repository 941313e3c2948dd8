// Figures of the chat pages through the entry points the program uses:
//
// - the log viewer opened on a 10 MB log by ChatLogForm::Open (the opener of
//   the pages' "Chat Log" actions) and run until it has read the file: the
//   time to the end, and the longest stretch the window's thread went
//   without turning its event loop meanwhile (a 0 ms timer notes each turn);
// - 1,000 incoming lines a second, for five seconds, into a private page
//   that already holds 250,000 characters (so every line pays for the
//   view's cut-back), through ChatForm::AddChat, which the window calls for
//   each private message; logging on, the page shown: the thread's
//   processor time over the wall time.
//
// Both run on the offscreen platform with the page or viewer shown at
// 800 x 600, so layout and painting count. The log is written just before
// it is read: warm cache.
//
// - searching the viewer: a search text typed a key at a time into the
//   viewer of a 10 MB log, and of a 200 MB log of which the last 100 MB are
//   shown, the text found nowhere (so that every key walks the whole view),
//   each key once the search of the one before has ended: the longest
//   stall of the window's thread, the time a key's walk takes, and the
//   resident memory the viewer adds (before the search and after it).
//
//   bench_chat [runs] [viewer|append|search]  (the second: only that figure)

#include "bench/BenchUtil.h"
#include "ChatFixture.h"

#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/ChatView.h"
#include "ui_ChatForm.h"
#include "ui_ChatLogForm.h"
#include "ui_ChatsForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>

namespace {

qint64 const LOG_BYTES = bench::Size<qint64>(10 * 1000 * 1000, 200 * 1000);
int const LINES_PER_SECOND = 1000;
int const SECONDS = bench::Size(5, 1);

QString LineText(int i_line)
{
    return QStringLiteral("line %1 of the conversation, with a link to http://example.com/page/%1 in it")
        .arg(i_line);
}

struct Program : ChatFixture
{
    Program() { StartChat(); }
    ~Program() { StopManagers(); }
};

struct Figures
{
    double m_open;
    double m_longestStall;
    int m_paragraphs;
    long m_memory;
    double m_appendShare;
    double m_linesPerSecond;
};

void MeasureViewer(Figures& io_figures)
{
    QString const l_path = ChatLogPath(ChatLogKind::USER, "peer", QDir::homePath());
    QByteArray l_log;
    for (int l_line = 0; l_log.size() < LOG_BYTES; ++l_line)
        l_log += ChatLogLine(QDateTime::currentDateTime(), "peer", LineText(l_line)).toUtf8() + '\n';
    QDir().mkpath(QFileInfo(l_path).path());
    QFile l_file(l_path);
    bench::Require(l_file.open(QIODevice::WriteOnly) && l_file.write(l_log) == l_log.size(), "the log could not be written");
    l_file.close();

    QTabWidget l_tabs;
    l_tabs.resize(800, 600);
    l_tabs.show();
    QCoreApplication::processEvents();
    long const l_before = bench::ResidentKiB();

    QElapsedTimer l_clock;
    l_clock.start();
    bench::StallProbe l_probe;
    ChatLogForm* lp_viewer = ChatLogForm::Open(ChatLogKind::USER, "peer", &l_tabs);
    io_figures.m_longestStall = l_probe.RunUntil([lp_viewer]() { return !lp_viewer->IsLoading(); });
    io_figures.m_open = l_clock.nsecsElapsed() / 1e9;
    io_figures.m_paragraphs = lp_viewer->Form()->logEdit->document()->blockCount();
    bench::Require(io_figures.m_paragraphs == l_log.count('\n'), "the viewer did not show every line of the log");
    io_figures.m_memory = bench::ResidentKiB() - l_before;
    delete lp_viewer;
    QFile::remove(l_path);
}

void MeasureAppend(Figures& io_figures)
{
    ChatsForm l_chats;
    l_chats.Init();
    l_chats.resize(800, 600);
    l_chats.show();
    ChatForm* lp_page = l_chats.GetChatForm("peer");
    ChatView* lp_view = lp_page->Form()->chatView;
    int l_line = 0;
    while (lp_view->ShownLength() < CHAT_VIEW_LIMIT)
        lp_page->AddChat("peer", LineText(l_line++));
    QCoreApplication::processEvents();

    // Each tick sends the lines due by then, so the rate holds whatever the
    // timer's slack; the run ends with the last line of its seconds, which
    // comes later only on a machine too busy to keep the rate.
    int const l_total = SECONDS * LINES_PER_SECOND;
    int l_appended = 0;
    QElapsedTimer l_clock;
    QTimer l_sender;
    QEventLoop l_loop;
    l_sender.setTimerType(Qt::PreciseTimer);
    l_sender.setInterval(1);
    QObject::connect(&l_sender, &QTimer::timeout, [&]() {
        qint64 const l_due = std::min<qint64>(l_total, l_clock.elapsed() * LINES_PER_SECOND / 1000);
        for (; l_appended < l_due; ++l_appended)
            lp_page->AddChat("peer", LineText(l_line++));
        if (l_appended == l_total)
            l_loop.quit();
    });
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_clock.start();
    l_sender.start();
    l_loop.exec();
    l_sender.stop();
    io_figures.m_appendShare = (bench::ThreadCpuNs() - l_start) / double(l_clock.nsecsElapsed());
    io_figures.m_linesPerSecond = l_appended / (l_clock.nsecsElapsed() / 1e9);
    bench::Require(lp_view->ShownLength() <= CHAT_VIEW_LIMIT + 1000, "the page was not cut back");
    QFile::remove(ChatLogPath(ChatLogKind::USER, "peer", QDir::homePath()));
}

struct SearchFigures
{
    double m_longestStall = 0;
    double m_ownStall = 0;
    double m_walk = 0;
    long m_loaded = 0;
    long m_searched = 0;
    long m_peak = 0;
};

// A log of about i_bytes (the chat's world clears the logs as it starts).
QString SearchLog(qint64 i_bytes)
{
    QString const l_path = ChatLogPath(ChatLogKind::USER, QStringLiteral("log%1").arg(i_bytes), QDir::homePath());
    QDir().mkpath(QFileInfo(l_path).path());
    QFile l_file(l_path);
    bench::Require(l_file.open(QIODevice::WriteOnly), "the log could not be written");
    QByteArray l_block;
    for (qint64 l_written = 0, l_line = 0; l_written < i_bytes;) {
        l_block += ChatLogLine(QDateTime::currentDateTime(), "peer", LineText(int(l_line++))).toUtf8() + '\n';
        if (l_block.size() > 1000000 || l_written + l_block.size() >= i_bytes) {
            bench::Require(l_file.write(l_block) == l_block.size(), "the log could not be written");
            l_written += l_block.size();
            l_block.clear();
        }
    }
    return l_path;
}

SearchFigures MeasureSearch(qint64 i_bytes)
{
    SearchFigures l_f;
    QString const l_path = SearchLog(i_bytes);
    QString const l_name = QFileInfo(l_path).completeBaseName();
    QTabWidget l_tabs;
    l_tabs.resize(800, 600);
    l_tabs.show();
    QCoreApplication::processEvents();
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();
    ChatLogForm* lp_viewer = ChatLogForm::Open(ChatLogKind::USER, l_name, &l_tabs);
    while (lp_viewer->IsLoading())
        QCoreApplication::processEvents();
    bench::Drain();
    l_f.m_loaded = bench::ResidentKiB() - l_before;
    QString const l_text = QStringLiteral("zebra");
    for (int l_key = 1; l_key <= l_text.size(); ++l_key) {
        bench::StallProbe l_probe;
        QElapsedTimer l_clock;
        l_clock.start();
        lp_viewer->Form()->searchEdit->setText(l_text.left(l_key));
        double const l_stall = l_probe.RunUntil([lp_viewer]() { return !lp_viewer->IsSearching(); });
        l_f.m_walk = std::max(l_f.m_walk, l_clock.nsecsElapsed() / 1e9);
        l_f.m_longestStall = std::max(l_f.m_longestStall, l_stall);
        l_f.m_ownStall = std::max(l_f.m_ownStall, l_probe.LongestCpuMs());
    }
    bench::Require(lp_viewer->Form()->logEdit->extraSelections().isEmpty(), "the search found what is not there");
    l_f.m_searched = bench::ResidentKiB() - l_before;
    l_f.m_peak = bench::ResidentKiB("VmHWM:") - l_before;
    delete lp_viewer;
    QFile::remove(l_path);
    return l_f;
}

void RunSearch(int i_runs)
{
    qint64 const l_small = bench::Size<qint64>(10 * 1000 * 1000, 200 * 1000);
    qint64 const l_large = bench::Size<qint64>(200 * 1000 * 1000, 400 * 1000);
    if (bench::Quick())
        ChatLogForm::SetMostBytesShown(200 * 1000);
    std::printf("search for a text found nowhere, typed a key at a time: logs of %lld and %lld bytes (at most %lld "
                "shown), warm cache; %d runs\n",
                l_small, l_large, bench::Quick() ? 200000LL : 100000000LL, i_runs);
    std::printf("  log bytes | longest stall ms (own) | a key's walk s | viewer KiB loaded | after the search | "
                "peak\n");
    for (int l_run = 0; l_run < i_runs; ++l_run)
        for (qint64 const l_bytes : {l_small, l_large}) {
            Program l_program;
            SearchFigures const l_f = MeasureSearch(l_bytes);
            std::printf("  %9lld | %13.1f (%5.1f) | %14.3f | %17ld | %16ld | %ld\n", l_bytes, l_f.m_longestStall,
                        l_f.m_ownStall, l_f.m_walk, l_f.m_loaded, l_f.m_searched, l_f.m_peak);
            std::fflush(stdout);
        }
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    QString const l_only = argc > 2 ? QString(argv[2]) : QString();
    if (l_only == "search") {
        RunSearch(l_runs);
        return 0;
    }
    std::printf("chat log viewer on a log of %lld bytes, warm cache; %d lines/s for %d s into a page of 250,000 "
                "characters; %d runs\n",
                LOG_BYTES, LINES_PER_SECOND, SECONDS, l_runs);
    std::printf("  open s | longest stall ms | paragraphs | viewer memory KiB | lines/s | core %%\n");
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Program l_program;
        Figures l_f{};
        if (l_only != "append")
            MeasureViewer(l_f);
        if (l_only != "viewer")
            MeasureAppend(l_f);
        std::printf("  %6.3f | %16.1f | %10d | %17ld | %7.0f | %6.1f\n", l_f.m_open, l_f.m_longestStall,
                    l_f.m_paragraphs, l_f.m_memory, l_f.m_linesPerSecond, 100.0 * l_f.m_appendShare);
    }
    if (l_only.isEmpty())
        RunSearch(l_runs);
    return 0;
}
