// The saver itself: its start and end (a load or a background save still
// under way included), the types it saves, and the save made at once. Its
// other concerns have files of their own: a file read and checked in
// DataFileRead.cpp and put into the store, with the journal that takes a
// failed one out, in DataFileApply.cpp; the load that tries the files in
// turn, and the components waiting for it, in DataLoad.cpp; the store
// gathered for a file in DataGather.cpp, the file composed in
// DataCompose.cpp and written, with the descriptors kept for the saves, in
// DataFileWrite.cpp; the background save and the thread that writes its
// file in DataBackgroundSave.cpp; and the stem's files, the next one's name
// and the pruning in DataFiles.cpp. What these files share is in
// DataSaverInternals.h.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/Log.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

using namespace DataSaverInternals;

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

QString DataSaver::LogCategory()
{
    return QString::fromLatin1(LOG_CATEGORY);
}
