// The background save: the store gathered in slices (DataGather.cpp) with
// the event loop between them, then the file composed and written
// (DataCompose.cpp, DataFileWrite.cpp) by a thread of its own, which touches
// nothing of the store, reports through a pipe and ends; the window takes
// its report in its event loop, then prunes and logs. The window never
// waits for it: one that takes longer than its limit is given up and
// counts as failed (a thread cannot be stopped: it ends by itself, and no
// other background save starts until it has). A save made at once
// (DataSaver.cpp) stops one still at work and answers for it.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

using namespace DataSaverInternals;

namespace {

void WriteAllTo(int i_fd, std::string const& i_text)
{
    for (std::size_t l_done = 0; l_done < i_text.size();) {
        ssize_t const l_wrote = ::write(i_fd, i_text.data() + l_done, i_text.size() - l_done);
        if (l_wrote < 0 && errno == EINTR)
            continue;
        if (l_wrote <= 0)
            return;
        l_done += std::size_t(l_wrote);
    }
}

std::function<void()> s_writeHook;

// Frees what a gathering left on a thread of its own: at a million files
// that takes tens of milliseconds the window need not wait for.
void FreeAside(Gathered&& io_gathered)
{
    FreeOnAThread(std::move(io_gathered));
}

// What the thread that writes a background save's file takes with it.
struct WriterJob
{
    Gathered m_gathered;
    std::string m_path;
    int m_report = -1; // the pipe's end it reports through
    int m_spare = -1;
};

// Composes and writes the job's file; its report: "saved <values left
// out for their length>" or "failed <reason>".
std::string ComposeAndWrite(WriterJob& io_job)
{
    try {
        std::size_t l_oversize = 0;
        FileImage const l_image = ComposeImage(io_job.m_gathered, l_oversize);
        if (s_writeHook)
            s_writeHook();
        std::string const l_error = WriteImage(io_job.m_path, l_image, io_job.m_spare);
        return l_error.empty() ? "saved " + std::to_string(l_oversize) : "failed " + l_error;
    } catch (std::bad_alloc const&) {
        return "failed out of memory";
    } catch (std::exception const& i_failure) {
        return std::string("failed ") + i_failure.what();
    }
}

// The thread's whole life: compose, write, report, end. It takes no
// signal (the program's handlers run on other threads, and a report to a
// window that has gone fails instead of killing the program).
void RunWriter(std::shared_ptr<WriterJob> ip_job)
{
    sigset_t l_all;
    sigfillset(&l_all);
    ::pthread_sigmask(SIG_SETMASK, &l_all, nullptr);
    std::string const l_report = ComposeAndWrite(*ip_job);
    int const l_fd = ip_job->m_report;
    if (ip_job->m_spare >= 0)
        ::close(ip_job->m_spare);
    ip_job.reset(); // its memory goes before the window hears of the end
    WriteAllTo(l_fd, l_report);
    ::close(l_fd);
}

} // namespace

void DataSaver::SetWriteHook(std::function<void()> i_hook)
{
    s_writeHook = std::move(i_hook);
}

bool DataSaver::SaveInBackground(QString const& i_base, std::function<void(bool)> i_done)
{
    if (mp_background)
        return false;
    ReleaseReserve();
    QString const l_path = NextPath(i_base);
    TakeReserve();
    mp_background.reset(new Background);
    Background& l_save = *mp_background;
    l_save.m_base = i_base;
    l_save.m_path = l_path;
    l_save.m_done = std::move(i_done);
    l_save.mp_limit.reset(new QTimer);
    l_save.mp_limit->setSingleShot(true);
    QObject::connect(l_save.mp_limit.get(), &QTimer::timeout, [this]() { GiveUp(); });
    l_save.mp_limit->start(m_backgroundLimitMs);
    l_save.mp_gatherer.reset(new FileGatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, true));
    // Its first slice runs now: a small store is gathered before this returns.
    l_save.m_slices.Start([this]() { return GatherStep(); }, [this]() { OnGathered(); });
    return true;
}

bool DataSaver::GatherStep()
{
    Background& l_save = *mp_background;
    FileGatherer& l_gatherer = *l_save.mp_gatherer;
    // Noting a flood of changes (a share taken down while it is gathered)
    // would soon cost more than gathering again, once it has gone by.
    std::size_t const l_changeLimit = std::max<std::size_t>(100000, l_gatherer.GatheredCount() / 4);
    if (l_gatherer.StoreWasReset() || l_gatherer.Changes() > l_changeLimit) {
        Gathered l_dropped = std::move(l_gatherer.Result());
        l_save.mp_gatherer.reset(new FileGatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, true));
        FreeAside(std::move(l_dropped));
        return true;
    }
    try {
        return l_gatherer.Step();
    } catch (std::bad_alloc const&) {
        l_save.m_failure = "out of memory";
    } catch (std::exception const& i_failure) {
        l_save.m_failure = QString::fromLocal8Bit(i_failure.what());
    }
    return false;
}

void DataSaver::OnGathered()
{
    Background& l_save = *mp_background;
    if (!l_save.m_failure.isEmpty()) {
        FinishBackground("failed " + l_save.m_failure);
        return;
    }
    auto lp_job = std::make_shared<WriterJob>();
    lp_job->m_gathered = std::move(l_save.mp_gatherer->Result());
    lp_job->m_path = QFile::encodeName(l_save.m_path).toStdString();
    l_save.mp_gatherer.reset(); // deaf to the store from here

    ReleaseReserve();
    int l_pipe[2] = {-1, -1};
    bool l_started = ::pipe2(l_pipe, O_CLOEXEC) == 0;
    int const l_pipeError = errno;
    TakeReserve();
    if (l_started) {
        // One of the saves' own descriptors goes with the thread, for its
        // file if no other is left by the time it opens it.
        if (!m_reserve.empty()) {
            lp_job->m_spare = m_reserve.back();
            m_reserve.pop_back();
        }
        lp_job->m_report = l_pipe[1];
        try {
            l_save.m_writer = std::thread(RunWriter, lp_job);
        } catch (std::system_error const&) {
            l_started = false;
        }
    }
    if (!l_started) {
        // No thread: the file is written here, as a save made at once is.
        LogFailure(QString("cannot write in the background (%1); writing at once")
                       .arg(QString::fromLocal8Bit(std::strerror(l_pipe[0] < 0 ? l_pipeError : EAGAIN))));
        for (int l_fd : {l_pipe[0], l_pipe[1], lp_job->m_spare})
            if (l_fd >= 0)
                ::close(l_fd);
        lp_job->m_spare = -1;
        FinishBackground(QString::fromStdString(ComposeAndWrite(*lp_job)));
        return;
    }
    lp_job.reset(); // the thread's alone
    l_save.m_fd = l_pipe[0];
    ::fcntl(l_pipe[0], F_SETFL, ::fcntl(l_pipe[0], F_GETFL) | O_NONBLOCK);
    l_save.mp_notifier.reset(new QSocketNotifier(l_pipe[0], QSocketNotifier::Read));
    QObject::connect(l_save.mp_notifier.get(), &QSocketNotifier::activated, [this]() { ReadBackgroundReport(); });
}

bool DataSaver::IsSavingInBackground() const
{
    return mp_background != nullptr;
}

bool DataSaver::BackgroundImageBuilt() const
{
    return mp_background && !mp_background->mp_gatherer;
}

void DataSaver::SetBackgroundSaveLimit(int i_msecs)
{
    m_backgroundLimitMs = i_msecs;
}

void DataSaver::ReadBackgroundReport()
{
    char l_buffer[512];
    for (;;) {
        ssize_t const l_read = ::read(mp_background->m_fd, l_buffer, sizeof l_buffer);
        if (l_read > 0) {
            // A report is a line; more is no report of ours.
            if (mp_background->m_report.size() < 4096)
                mp_background->m_report.append(l_buffer, int(l_read));
            continue;
        }
        if (l_read < 0 && errno == EINTR)
            continue;
        if (l_read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // more to come
        break; // the thread has closed its end: it is ending
    }
    // What is left of its end takes microseconds.
    mp_background->m_writer.join();
    FinishBackground(QString::fromLocal8Bit(mp_background->m_report));
}

void DataSaver::FinishBackground(QString const& i_report)
{
    std::unique_ptr<Background> lp_save(mp_background.release());
    lp_save->m_slices.Stop();
    lp_save->mp_notifier.reset();
    lp_save->mp_limit.reset();
    if (lp_save->m_fd >= 0)
        ::close(lp_save->m_fd);
    bool const l_saved = i_report.startsWith("saved ");
    if (!l_saved)
        QFile::remove(lp_save->m_path + ".saving");
    if (lp_save->m_answered) {
        // Answered for already: by the save made at once, or as failed at
        // the limit. A file that still landed is whole, and older than any
        // saved since.
        TakeReserve();
        return;
    }
    if (l_saved) {
        m_lastFailure.clear();
        LogOversize(i_report.mid(6).toULongLong());
        Prune(lp_save->m_base, lp_save->m_path);
    } else {
        LogFailure(i_report.startsWith("failed ") ? i_report.mid(7) : QString("the saving thread ended abnormally"));
    }
    TakeReserve();
    if (lp_save->m_done)
        lp_save->m_done(l_saved);
}

void DataSaver::GiveUp()
{
    // One a save made at once answered for has nothing left to fail.
    if (mp_background->m_answered)
        return;
    QString const l_reason =
        QString("the save took longer than %1 s and was given up").arg(m_backgroundLimitMs / 1000.0);
    if (mp_background->mp_gatherer) {
        FinishBackground("failed " + l_reason);
        return;
    }
    Background& l_save = *mp_background;
    l_save.m_answered = true;
    LogFailure(l_reason);
    std::function<void(bool)> const l_done = std::move(l_save.m_done);
    l_save.m_done = nullptr;
    if (l_done)
        l_done(false);
}

void DataSaver::StopBackgroundSave()
{
    if (!mp_background || mp_background->m_answered)
        return;
    Background& l_save = *mp_background;
    if (l_save.mp_gatherer) {
        // Nothing written yet: the save made now answers for it.
        m_stopped.push_back(std::move(l_save.m_done));
        mp_background.reset();
        return;
    }
    // A thread that has already reported is taken as it is.
    ReadBackgroundReport();
    if (!mp_background)
        return;
    // One still at work goes on (a thread cannot be stopped), but its file,
    // should it land, has the older name (NextPath); the save made now
    // answers for it.
    mp_background->m_answered = true;
    m_stopped.push_back(std::move(mp_background->m_done));
    mp_background->m_done = nullptr;
}

void DataSaver::CallStoppedHandler(bool i_saved)
{
    std::vector<std::function<void(bool)>> l_handlers;
    l_handlers.swap(m_stopped);
    for (auto const& l_done : l_handlers)
        if (l_done)
            l_done(i_saved);
}
