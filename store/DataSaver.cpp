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

// ------------------------------------------------------------------ DataSaver

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

QString DataSaver::LastFailure() const
{
    return m_lastFailure;
}
