// The load: from the stem's newest file to its oldest until one goes in,
// each file read and checked (DataFileRead.cpp), on a thread of its own for
// a load in slices, then put into the store step by step (DataFileApply.cpp);
// a file that fails is set aside. Once it is over, the components waiting
// for the loaded data (DataLoadedEventHandler) are called.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/Log.h"
#include "store/MemStream.h"

#include <QFile>

#include <algorithm>
#include <system_error>

using namespace DataSaverInternals;

// --------------------------------------------------------- DataLoadedEventHandler

DataLoadedEventHandler::DataLoadedEventHandler()
{
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
}

DataLoadedEventHandler::~DataLoadedEventHandler()
{
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
}

// ------------------------------------------------------------------ the load

void DataSaver::Loading::Read()
{
    m_parsed = DataFileContents();
    m_error.clear();
    try {
        MemStream l_image;
        m_read = ReadFile(Path(), l_image, m_error) && ParseDataFile(l_image, m_parsed, m_error);
        // With the reading, off the window's thread: a pass over every link.
        if (m_read)
            DropUnsavedLinks(m_parsed, m_unsavedRelations);
    } catch (std::exception const& i_failure) {
        m_error = QString::fromLocal8Bit(i_failure.what());
        m_read = false;
    }
}

void DataSaver::Loading::BeginApplying()
{
    mp_journal = std::make_unique<LoadJournal>();
    mp_applier = std::make_unique<FileApplier>(m_parsed, m_savedTypes, *mp_journal);
    m_failed = false;
}

bool DataSaver::Loading::Apply(std::size_t i_work)
{
    try {
        return mp_applier->Step(i_work);
    } catch (std::exception const& i_failure) {
        m_error = QString::fromLocal8Bit(i_failure.what());
        mp_journal->Undo();
        m_failed = true;
        return false;
    }
}

void DataSaver::Loading::SetAside()
{
    mp_applier.reset();
    mp_journal.reset();
    FreeOnAThread(std::move(m_parsed));
    m_parsed = DataFileContents();
    QString l_aside = Path() + ".unreadable";
    for (int l_attempt = 1; QFile::exists(l_aside); ++l_attempt)
        l_aside = Path() + QString(".unreadable.%1").arg(l_attempt);
    bool const l_moved = QFile::rename(Path(), l_aside);
    Log(LOG_CATEGORY, 1,
        QString("Configuration data file %1 is unreadable (%2)%3.")
            .arg(Path(), m_error, l_moved ? QString("; renamed to ") + l_aside : QString()));
    ++m_at;
}

void DataSaver::Loading::Loaded()
{
    mp_applier.reset();
    mp_journal.reset();
    FreeOnAThread(std::move(m_parsed));
    m_parsed = DataFileContents();
    Log(LOG_CATEGORY, 1, QString("Loaded configuration data from %1.").arg(Path()));
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    if (ip_handler && std::find(m_handlers.begin(), m_handlers.end(), ip_handler) == m_handlers.end())
        m_handlers.push_back(ip_handler);
}

void DataSaver::RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    m_handlers.erase(std::remove(m_handlers.begin(), m_handlers.end(), ip_handler), m_handlers.end());
}

void DataSaver::CallHandlers(bool i_noData)
{
    // A handler may create or delete others; only those still registered
    // are called.
    // One handler's failure must not keep the others from starting.
    auto l_callEach = [this](void (DataLoadedEventHandler::*ip_call)()) {
        std::vector<DataLoadedEventHandler*> const l_handlers(m_handlers);
        for (DataLoadedEventHandler* lp_handler : l_handlers) {
            if (std::find(m_handlers.begin(), m_handlers.end(), lp_handler) == m_handlers.end())
                continue;
            try {
                (lp_handler->*ip_call)();
            } catch (std::exception const& i_failure) {
                Log(LOG_CATEGORY, 1, QString("A component failed to take the loaded data: %1")
                                         .arg(QString::fromLocal8Bit(i_failure.what())));
            }
        }
    };
    l_callEach(&DataLoadedEventHandler::DataLoaded);
    if (i_noData)
        l_callEach(&DataLoadedEventHandler::NoData);
}

std::unique_ptr<DataSaver::Loading> DataSaver::BeginLoading(QString const& i_stem)
{
    auto lp_loading = std::make_unique<Loading>();
    lp_loading->m_files = ListDataFiles(i_stem);
    lp_loading->m_savedTypes = m_savedTypes;
    lp_loading->m_unsavedRelations = m_unsavedRelations;
    for (auto const& l_pair : m_savedByConnection)
        lp_loading->m_savedTypes.push_back(l_pair.first);
    if (lp_loading->m_files.empty())
        Log(LOG_CATEGORY, 1, "No configuration data found.");
    return lp_loading;
}

void DataSaver::Load(QString const& i_stem)
{
    // A load in slices under way goes first: this one is the newer word.
    FinishLoading();
    std::unique_ptr<Loading> const lp_loading = BeginLoading(i_stem);
    if (lp_loading->m_files.empty()) {
        CallHandlers(true);
        return;
    }
    while (lp_loading->m_at < lp_loading->m_files.size()) {
        lp_loading->Read();
        if (lp_loading->m_read) {
            lp_loading->BeginApplying();
            while (lp_loading->Apply(std::size_t(-1))) {
            }
            if (!lp_loading->m_failed) {
                lp_loading->Loaded();
                CallHandlers(false);
                return;
            }
        }
        lp_loading->SetAside();
    }
    CallHandlers(true);
    throw DataLoadFailure("Failure to load configuration data.");
}

void DataSaver::LoadInSlices(QString const& i_stem, std::function<void(bool)> i_done)
{
    FinishLoading();
    mp_loading = BeginLoading(i_stem);
    mp_loading->m_done = std::move(i_done);
    if (mp_loading->m_files.empty()) {
        EndLoading(true, true);
        return;
    }
    ReadNextFile();
}

void DataSaver::ReadNextFile()
{
    Loading* const lp_loading = mp_loading.get();
    if (lp_loading->m_at == lp_loading->m_files.size()) {
        EndLoading(false, true);
        return;
    }
    if (!lp_loading->m_here) {
        lp_loading->mp_receiver = std::make_unique<QObject>();
        QObject* const lp_receiver = lp_loading->mp_receiver.get();
        try {
            // Its notice goes with the receiver, when the load is finished
            // here and now meanwhile.
            lp_loading->m_reader = std::thread([this, lp_loading, lp_receiver]() {
                lp_loading->Read();
                QMetaObject::invokeMethod(
                    lp_receiver,
                    [this]() {
                        if (mp_loading && mp_loading->m_reader.joinable())
                            OnFileRead();
                    },
                    Qt::QueuedConnection);
            });
            return;
        } catch (std::system_error const&) {
            lp_loading->mp_receiver.reset();
        }
    }
    // Finishing here and now, or no thread to be had.
    lp_loading->Read();
    OnFileRead();
}

void DataSaver::OnFileRead()
{
    Loading* const lp_loading = mp_loading.get();
    if (lp_loading->m_reader.joinable())
        lp_loading->m_reader.join();
    // Called by its notice, the receiver goes once that is over; else the
    // notice still to come goes with it now.
    if (QObject* const lp_receiver = lp_loading->mp_receiver.release()) {
        if (lp_loading->m_here)
            delete lp_receiver;
        else
            lp_receiver->deleteLater();
    }
    if (!lp_loading->m_read) {
        lp_loading->SetAside();
        ReadNextFile();
        return;
    }
    lp_loading->BeginApplying();
    lp_loading->m_slices.Start([lp_loading]() { return lp_loading->Apply(Loading::STEP); },
                               [this]() {
                                   if (!mp_loading->m_failed) {
                                       mp_loading->Loaded();
                                       EndLoading(true, false);
                                       return;
                                   }
                                   mp_loading->SetAside();
                                   ReadNextFile();
                               });
}

void DataSaver::EndLoading(bool i_loaded, bool i_noData)
{
    // Gone before the handlers run: one of them may save.
    std::unique_ptr<Loading> const lp_loading = std::move(mp_loading);
    CallHandlers(i_noData);
    if (lp_loading->m_done)
        lp_loading->m_done(i_loaded);
}

bool DataSaver::IsLoading() const
{
    return mp_loading != nullptr;
}

double DataSaver::LoadProgress() const
{
    if (!mp_loading || !mp_loading->mp_applier || mp_loading->mp_applier->Total() == 0)
        return 0;
    return double(mp_loading->mp_applier->Done()) / double(mp_loading->mp_applier->Total());
}

void DataSaver::FinishLoading()
{
    if (mp_loading)
        mp_loading->m_here = true;
    while (mp_loading) {
        if (mp_loading->m_reader.joinable())
            OnFileRead();
        else
            mp_loading->m_slices.Finish();
    }
}
