#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/BlockPool.h"
#include "store/BodyTable.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/SlicedWork.h"
#include "store/StoreInternals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

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
    auto lp_garbage = std::make_unique<Gathered>(std::move(io_gathered));
    try {
        std::thread([lp_left = std::move(lp_garbage)]() mutable { lp_left.reset(); }).detach();
    } catch (std::system_error const&) {
        // Freed here, as the thread that was not made goes.
    }
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

// ------------------------------------------------------------------ DataSaver

struct DataSaver::Background
{
    QString m_base;
    QString m_path;
    std::function<void(bool)> m_done;
    std::unique_ptr<QTimer> mp_limit;
    // While the store is gathered.
    std::unique_ptr<FileGatherer> mp_gatherer;
    SlicedWork m_slices;
    QString m_failure;
    // Once the thread writes the file.
    std::thread m_writer;
    int m_fd = -1; // its report
    QByteArray m_report;
    std::unique_ptr<QSocketNotifier> mp_notifier;
    // Its handler has had its answer (failed at the limit, or from a save
    // made at once) while it is still at work.
    bool m_answered = false;
};

DataSaver::DataSaver()
{
    dataSaver = this;
    TakeReserve();
}

DataSaver::~DataSaver()
{
    // A load under way is dropped; its reader ends with the file.
    if (mp_loading && mp_loading->m_reader.joinable())
        mp_loading->m_reader.join();
    mp_loading.reset();
    if (mp_background && mp_background->m_writer.joinable()) {
        // Nobody is left to hear the result. A thread that hangs (a disk
        // that stopped answering) is not waited for past a moment: it is
        // left to end with the program, with everything it uses its own.
        mp_background->mp_notifier.reset();
        mp_background->m_done = nullptr;
        bool l_ended = false;
        for (int l_round = 0; l_round < 20 && !l_ended; ++l_round) {
            pollfd l_end{mp_background->m_fd, POLLIN, 0};
            if (::poll(&l_end, 1, 100) > 0) {
                char l_buffer[512];
                ssize_t l_read = 0;
                while ((l_read = ::read(mp_background->m_fd, l_buffer, sizeof l_buffer)) > 0 ||
                       (l_read < 0 && errno == EINTR)) {
                }
                l_ended = l_read == 0;
            }
        }
        if (l_ended)
            mp_background->m_writer.join();
        else
            mp_background->m_writer.detach();
    }
    if (mp_background && mp_background->m_fd >= 0)
        ::close(mp_background->m_fd);
    mp_background.reset();
    CallStoppedHandler(false);
    ReleaseReserve();
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(std::string const& i_type)
{
    if (std::find(m_savedTypes.begin(), m_savedTypes.end(), i_type) == m_savedTypes.end())
        m_savedTypes.push_back(i_type);
}

void DataSaver::AddSavedByConnectionType(std::string const& i_type, std::string const& i_connectedType)
{
    auto const l_entry = std::make_pair(i_type, i_connectedType);
    if (std::find(m_savedByConnection.begin(), m_savedByConnection.end(), l_entry) == m_savedByConnection.end())
        m_savedByConnection.push_back(l_entry);
}

void DataSaver::AddUnsavedRelation(std::string const& i_type, std::string const& i_otherType)
{
    auto const l_entry = std::make_pair(i_type, i_otherType);
    if (std::find(m_unsavedRelations.begin(), m_unsavedRelations.end(), l_entry) == m_unsavedRelations.end())
        m_unsavedRelations.push_back(l_entry);
}

namespace {

bool IsStamp(QStringView i_text)
{
    if (i_text.isEmpty() || i_text.size() > 19)
        return false;
    for (QChar const l_c : i_text)
        if (l_c < '0' || l_c > '9')
            return false;
    return true;
}

// The stem's files in its folder, in one listing: the data files
// ("<stem>.<stamp>", newest first) and the temporary files that saves
// write them as ("<stem>.<stamp>.saving", names only).
struct StemFiles
{
    QDir m_folder;
    std::vector<std::pair<quint64, QString>> m_saved;
    QStringList m_temporary;
};

StemFiles ListStemFiles(QString const& i_stem)
{
    QFileInfo const l_stem(i_stem);
    StemFiles l_files{l_stem.absoluteDir(), {}, {}};
    QString const l_prefix = l_stem.fileName() + ".";
    QLatin1String const l_saving(".saving");
    // Matched by hand: a name filter is a pattern that Qt compiles, which
    // held the hourly save for 25 ms at times.
    for (QString const& l_name : l_files.m_folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted)) {
        if (!l_name.startsWith(l_prefix))
            continue;
        QStringView const l_suffix = QStringView(l_name).mid(l_prefix.size());
        if (IsStamp(l_suffix))
            l_files.m_saved.emplace_back(l_suffix.toULongLong(), l_files.m_folder.filePath(l_name));
        else if (l_suffix.endsWith(l_saving) && IsStamp(l_suffix.chopped(l_saving.size())))
            l_files.m_temporary << l_name;
    }
    std::sort(l_files.m_saved.begin(), l_files.m_saved.end(),
              [](auto const& i_a, auto const& i_b) { return i_a.first > i_b.first; });
    return l_files;
}

} // namespace

std::vector<std::pair<quint64, QString>> DataSaver::ListDataFiles(QString const& i_stem)
{
    return ListStemFiles(i_stem).m_saved;
}

QString DataSaver::NextPath(QString const& i_base)
{
    auto const l_existing = ListDataFiles(i_base);
    // Names must sort in save order even when the clock went back, or the
    // new file would be pruned, or an older one loaded first; and above any
    // name given before, so that the file of a background save given up or
    // answered for by a save made at once, should it still land, is older
    // than any named since.
    quint64 l_stamp = quint64(qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch()));
    if (!l_existing.empty() && l_stamp <= l_existing.front().first)
        l_stamp = l_existing.front().first + 1;
    if (l_stamp <= m_lastStamp)
        l_stamp = m_lastStamp + 1;
    m_lastStamp = l_stamp;
    return i_base + "." + QString::number(l_stamp);
}

void DataSaver::Prune(QString const& i_base, QString const& i_kept)
{
    // Only once the new file is safely in place do older ones go.
    StemFiles const l_files = ListStemFiles(i_base);
    for (std::size_t l_index = KEPT_FILES; l_index < l_files.m_saved.size(); ++l_index)
        if (l_files.m_saved[l_index].second != i_kept)
            QFile::remove(l_files.m_saved[l_index].second);
    // A temporary file left by a program killed outright, or by a save that
    // failed to remove it; not the one of a background save still at work.
    QString const l_busy = mp_background ? QFileInfo(mp_background->m_path).fileName() + ".saving" : QString();
    for (QString const& l_name : l_files.m_temporary)
        if (l_name != l_busy)
            QFile::remove(l_files.m_folder.filePath(l_name));
}

void DataSaver::LogOversize(std::size_t i_count)
{
    if (i_count > 0)
        Log(LOG_CATEGORY, 1, QString("%1 values too long to save were left out.").arg(i_count));
}

void DataSaver::LogFailure(QString const& i_reason)
{
    m_lastFailure = i_reason;
    Log(LOG_CATEGORY, 1, QString("Failure to save configuration data: %1").arg(i_reason));
}

bool DataSaver::Save(QString const& i_base)
{
    // A save still at work in the background is stopped: this file holds
    // the store as it stands now, and waiting for a thread that hangs would
    // hold the program. Its file, should it still land, has the older name
    // (NextPath).
    StopBackgroundSave();
    ReleaseReserve();
    bool l_saved = false;
    try {
        QString const l_path = NextPath(i_base);
        FileGatherer l_gatherer(m_savedTypes, m_savedByConnection, m_unsavedRelations, false);
        while (l_gatherer.Step()) {
        }
        std::size_t l_oversize = 0;
        FileImage const l_image = ComposeImage(l_gatherer.Result(), l_oversize);
        LogOversize(l_oversize);
        int l_noSpare = -1;
        std::string const l_error = WriteImage(QFile::encodeName(l_path).toStdString(), l_image, l_noSpare);
        if (!l_error.empty())
            throw DataSaveFailure(l_error);
        Prune(i_base, l_path);
        l_saved = true;
    } catch (DataSaveFailure const& i_failure) {
        LogFailure(QString::fromStdString(i_failure.what()));
    } catch (std::bad_alloc const&) {
        LogFailure("out of memory");
    }
    TakeReserve();
    if (l_saved)
        m_lastFailure.clear();
    CallStoppedHandler(l_saved);
    return l_saved;
}

// ------------------------------------------------------------ background
//
// The hourly save holds the window for no more than a slice: the store is
// gathered in slices (SlicedWork) with the event loop between them, and
// the file is composed and written by a thread of its own, which touches
// nothing of the store, reports through a pipe and ends; the window takes
// its report in its event loop, then prunes and logs. The window never
// waits for it: one that takes longer than its limit is given up and
// counts as failed (a thread cannot be stopped: it ends by itself, and no
// other background save starts until it has).

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

QString DataSaver::LastFailure() const
{
    return m_lastFailure;
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
