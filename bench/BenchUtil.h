#ifndef QUILLMAR_BENCH_BENCHUTIL_H
#define QUILLMAR_BENCH_BENCHUTIL_H

// What the benchmarks share: the quick mode that CI runs, the start of the
// benchmarks of pages, the longest stall of the window's thread, the
// process's resident memory and its peak, the processor time of the calling
// thread, the times of steps for a profile, and the share-shaped store that
// the store and data-file benchmarks measure: file items, each in one of the
// folders and linked to five of the tokens, chosen by a fixed-seed generator
// so that every run builds the same store.

#include "store/Data.h"
#include "tests/WaitMs.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <malloc.h>

namespace bench {

// Quick mode: CI runs every benchmark with QUILLMAR_BENCH_QUICK set (see
// quillmar_add_bench in bench/CMakeLists.txt), at sizes that take a few
// seconds even in a sanitizer build, so that a benchmark that no longer
// completes fails the suite. Its figures mean nothing; the full sizes are
// for measuring.
inline bool Quick()
{
    static bool const s_quick = std::getenv("QUILLMAR_BENCH_QUICK") != nullptr;
    return s_quick;
}

// The full size, or the quick one in quick mode.
template <typename T>
T Size(T i_full, T i_quick)
{
    return Quick() ? i_quick : i_full;
}

// A benchmark that cannot complete says why and ends with a failure, so
// that its quick run in CI fails instead of printing figures of nothing.
[[noreturn]] inline void Fail(char const* ip_why)
{
    std::fprintf(stderr, "benchmark failed: %s\n", ip_why);
    std::fflush(stdout);
    std::exit(1);
}

inline void Require(bool i_condition, char const* ip_why)
{
    if (!i_condition)
        Fail(ip_why);
}

// When the run began, for its limit below.
inline std::chrono::steady_clock::time_point const RUN_START = std::chrono::steady_clock::now();

// The longest a step may wait for its work, in milliseconds: i_fullMs, but
// in a quick run in the suite no longer than what is left of the run's own
// limit (QUILLMAR_BENCH_LIMIT_S, set below its CTest time-out by
// bench/CMakeLists.txt), so that a run too slow on a busy machine fails
// with the benchmark's message of what did not end, not with a time-out.
inline int LimitMs(int i_fullMs)
{
    static int const s_runLimitS = Quick() ? qEnvironmentVariableIntValue("QUILLMAR_BENCH_LIMIT_S") : 0;
    if (s_runLimitS <= 0)
        return i_fullMs;
    auto const l_spent = std::chrono::steady_clock::now() - RUN_START;
    auto const l_left = std::chrono::seconds(s_runLimitS) - l_spent;
    return int(std::clamp<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(l_left).count(), 1,
                                        i_fullMs));
}

// Fails with "<ip_what> did not end within <the limit>" unless i_ended.
inline void RequireEnded(bool i_ended, char const* ip_what, int i_limitMs)
{
    if (!i_ended)
        Fail(QStringLiteral("%1 did not end within %2 s").arg(ip_what).arg(i_limitMs / 1000.0).toUtf8().constData());
}

// A benchmark of pages draws them offscreen, unless the caller chose a
// platform, and takes its number of runs as its first argument.
inline void UseOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}
inline int RunsArgument(int argc, char** argv, int i_default)
{
    return argc > 1 ? std::max(1, std::atoi(argv[1])) : i_default;
}

// Lets the event loop run what the last step posted (deferred refreshes,
// painting), so that it is counted with the step.
inline void Drain()
{
    for (int l_pass = 0; l_pass < 3; ++l_pass)
        QCoreApplication::processEvents();
}

// The processor time the calling thread has used, in nanoseconds.
inline std::int64_t ThreadCpuNs()
{
    timespec l_time;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &l_time);
    return std::int64_t(l_time.tv_sec) * 1000000000 + l_time.tv_nsec;
}

// Seconds on the system's monotonic clock, what "perf record -k
// CLOCK_MONOTONIC" stamps its samples with.
inline double MonotonicSeconds()
{
    timespec l_time;
    clock_gettime(CLOCK_MONOTONIC, &l_time);
    return double(l_time.tv_sec) + double(l_time.tv_nsec) / 1e9;
}

// One turn of the event loop, deferred deletions included: outside exec()
// processEvents() leaves them, so a closed page would live on.
inline void TurnLoop()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The longest stretch the thread worked without turning its event loop,
// from the probe's making on: a timer of no interval fires at every turn,
// and the longest wait between two of its firings is the stall a user
// would feel. It spins the loop, so processor figures are taken without it.
// On a busy machine a stall also holds the time the system gave to other
// processes: LongestCpuMs() is the most processor time the thread itself
// used between two turns.
class StallProbe
{
public:
    StallProbe()
    {
        m_probe.setInterval(0);
        QObject::connect(&m_probe, &QTimer::timeout, [this]() { Turn(); });
        m_turn.start();
        m_turnCpu = ThreadCpuNs();
        m_probe.start();
    }

    // In milliseconds, the stretch under way included.
    double LongestMs() const { return double(std::max(m_longest, m_turn.nsecsElapsed())) / 1e6; }
    double LongestCpuMs() const { return double(std::max(m_longestCpu, ThreadCpuNs() - m_turnCpu)) / 1e6; }
    // The processor time the thread itself used in the longest stretch
    // (LongestMs()): the rest of it the thread waited, on a lock or for a
    // processor.
    double LongestStallCpuMs() const
    {
        return m_turn.nsecsElapsed() > m_longest ? double(ThreadCpuNs() - m_turnCpu) / 1e6
                                                 : double(m_longestStallCpu) / 1e6;
    }
    // When the longest stretch began, in MonotonicSeconds().
    double LongestStart() const { return m_turn.nsecsElapsed() > m_longest ? m_turnStart : m_longestStart; }

    // Runs the event loop until the condition holds; LongestMs() then.
    double RunUntil(std::function<bool()> const& i_done)
    {
        while (!i_done())
            TurnLoop();
        TurnLoop();
        return LongestMs();
    }

private:
    void Turn()
    {
        qint64 const l_stretch = m_turn.nsecsElapsed();
        m_turn.restart();
        std::int64_t const l_cpu = ThreadCpuNs();
        if (l_stretch > m_longest) {
            m_longest = l_stretch;
            m_longestStallCpu = l_cpu - m_turnCpu;
            m_longestStart = m_turnStart;
        }
        m_longestCpu = std::max(m_longestCpu, l_cpu - m_turnCpu);
        m_turnCpu = l_cpu;
        m_turnStart = MonotonicSeconds();
    }

    QTimer m_probe;
    QElapsedTimer m_turn;
    qint64 m_longest = 0;
    std::int64_t m_turnCpu = 0;
    std::int64_t m_longestCpu = 0;
    std::int64_t m_longestStallCpu = 0;
    double m_turnStart = MonotonicSeconds();
    double m_longestStart = m_turnStart;
};

// Runs this program again with the arguments (in the home folder given,
// if one is), its errors going to ours: the words it printed, or none
// when it failed.
inline QStringList ChildWords(QStringList const& i_arguments, QString const& i_home = QString())
{
    QProcess l_child;
    if (!i_home.isEmpty()) {
        QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
        l_environment.insert("HOME", i_home);
        l_child.setProcessEnvironment(l_environment);
    }
    l_child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    l_child.start(QCoreApplication::applicationFilePath(), i_arguments);
    if (!l_child.waitForFinished(-1) || l_child.exitCode() != 0)
        return QStringList();
    return QString::fromUtf8(l_child.readAllStandardOutput()).simplified().split(' ');
}

// The same, ending the benchmark when the child failed.
inline QStringList RunChild(QStringList const& i_arguments, QString const& i_home = QString())
{
    QStringList l_words = ChildWords(i_arguments, i_home);
    if (l_words.isEmpty())
        Fail("a child process failed");
    return l_words;
}

// "low-high" of the figures, each in the printf format (for "%.1f ms").
inline QString Range(std::vector<double> i_values, char const* ip_format)
{
    std::sort(i_values.begin(), i_values.end());
    return QString::asprintf(ip_format, i_values.front()) + QStringLiteral("-") +
           QString::asprintf(ip_format, i_values.back());
}

// The process's resident memory in KiB ("VmRSS:"), or another of the
// memory lines of /proc/self/status ("VmHWM:" for the peak).
inline long ResidentKiB(char const* ip_field = "VmRSS:")
{
    std::ifstream l_status("/proc/self/status");
    std::string const l_field(ip_field);
    for (std::string l_line; std::getline(l_status, l_line);)
        if (l_line.rfind(l_field, 0) == 0)
            return std::stol(l_line.substr(l_field.size()));
    return 0;
}

// Gives freed memory back to the system, then starts the peak resident
// memory ("VmHWM:") afresh from the current resident memory.
inline void ResetPeak()
{
    malloc_trim(0);
    std::ofstream l_refs("/proc/self/clear_refs");
    if (!(l_refs << "5" << std::flush))
        std::printf("(the peak resident memory cannot be reset here)\n");
}

// With QUILLMAR_BENCH_TRACE set, says on the error stream when a step ran
// (from i_start to i_end, or to now, on the monotonic clock), so that "perf
// script --time" shows what the process did in it.
inline void Trace(char const* ip_step, double i_start, double i_end = -1)
{
    if (std::getenv("QUILLMAR_BENCH_TRACE"))
        std::fprintf(stderr, "%s: %.6f,%.6f\n", ip_step, i_start, i_end < 0 ? MonotonicSeconds() : i_end);
}

int const SHARE_FOLDERS = 50000;
int const SHARE_TOKENS = 50000;
int const TOKENS_PER_FILE = 5;

// Declares "folder" (root), "file" (valueless) and "token" (leaf).
inline void DeclareShareTypes()
{
    Type* lp_folder = d.NewType("folder", ROOT, false, true);
    Type* lp_file = d.NewType("file", INTERMEDIATE, true, false);
    Type* lp_token = d.NewType("token", LEAF, false, true);
    lp_folder->RelateToType(lp_file, ONE, MANY, false);
    lp_file->RelateToType(lp_token, MANY, MANY, false);
}

// The folder and token items the files are linked to.
inline void MakeFoldersAndTokens(std::vector<Item>& o_folders, std::vector<Item>& o_tokens)
{
    Type* lp_folder = d["folder"];
    Type* lp_token = d["token"];
    for (int l_k = 0; l_k < SHARE_FOLDERS; ++l_k)
        o_folders.push_back((*lp_folder)["/music/folder" + std::to_string(l_k)]);
    for (int l_k = 0; l_k < SHARE_TOKENS; ++l_k)
        o_tokens.push_back((*lp_token)["token" + std::to_string(l_k)]);
}

// Makes i_files file items with their links.
inline void AddShareFiles(int i_files, std::mt19937& io_random, std::vector<Item> const& i_folders,
                          std::vector<Item> const& i_tokens)
{
    Type* lp_file = d["file"];
    for (int l_k = 0; l_k < i_files; ++l_k) {
        Item l_file = lp_file->NewItem();
        i_folders[io_random() % i_folders.size()] += l_file;
        for (int l_t = 0; l_t < TOKENS_PER_FILE; ++l_t)
            l_file += i_tokens[io_random() % i_tokens.size()];
    }
}

} // namespace bench

#endif
