#include "store/ConfigurationImporter.h"
#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QTcpServer>
#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Declares what the managers of a running client would, before a load.
void DeclareSchema(bool i_withObsoleteType)
{
    d.Reset();
    DeclareSettingsTypes();
    d.NewType("user", ROOT, false, true);
    d.NewType("in_user_list", INTERMEDIATE, true, false);
    d["user"]->RelateToType(d["in_user_list"], ONE, ONE, false);
    d.NewType("online_alert", LEAF, true, false);
    d["user"]->RelateToType(d["online_alert"], MANY, ONE, false);
    d["user"]->RelateToType(d["user"], MANY, MANY, false); // a type linked to itself
    d.NewType("download_entry", ROOT, true, false);
    d.NewType("download_entry_status", LEAF, false, true);
    d.NewType("is_active", LEAF, true, false);
    d.NewType("file_name", LEAF, false, true);
    d["download_entry"]->RelateToType(d["download_entry_status"], MANY, ONE, false);
    d["download_entry_status"]->RelateToType(d["is_active"], MANY, ONE, false);
    d["download_entry"]->RelateToType(d["file_name"], MANY, ONE, false);
    d["download_entry"]->RelateToType(d["user"], MANY, ONE, false);
    d.NewType("room", ROOT, false, true);
    d.NewType("room_autojoin", LEAF, true, false);
    d["room"]->RelateToType(d["room_autojoin"], MANY, ONE, false);
    if (i_withObsoleteType) {
        d.NewType("obsolete", LEAF, false, true);
        d["user"]->RelateToType(d["obsolete"], MANY, ONE, false);
    }
    // What constructors make before the load: a default and an active status.
    SetSetting("upload_slots", QString("2"));
    d["download_entry_status"]->GetItem("downloading").NewItem("is_active");
}

void RegisterSaving(DataSaver& io_saver)
{
    io_saver.AddSavedType("global");
    io_saver.AddSavedByConnectionType("global_value", "global");
    for (char const* lp_type : {"user", "in_user_list", "online_alert", "download_entry",
                                "download_entry_status", "is_active", "file_name", "room_autojoin", "obsolete"})
        io_saver.AddSavedType(lp_type);
    io_saver.AddSavedByConnectionType("room", "room_autojoin");
}

std::string const LONG_NAME(200000, 'n'); // above the network's string limit

void Populate()
{
    SetSetting("upload_slots", QString("5"));
    SetSetting("username", QString::fromUtf8("Zoë"));
    SetVSetting("connected", QString("only-virtual"));
    Item l_alice = d["user"]->GetItem("alice");
    Item l_bob = d["user"]->GetItem("bob");
    Item l_carol = d["user"]->GetItem("carol");
    l_alice.NewItem("in_user_list");
    l_alice.NewItem("online_alert");
    l_bob.NewItem("online_alert");
    l_carol += d["obsolete"]->GetItem("x");
    l_alice += l_bob;
    l_carol += l_alice;
    d["user"]->GetItem(std::string("caf\xE9")); // not UTF-8: kept byte for byte

    Item l_first = d["download_entry"]->NewItem();
    l_first += d["file_name"]->GetItem("a.mp3");
    l_first += d["download_entry_status"]->GetItem("downloading");
    l_first += l_alice;
    Item l_second = d["download_entry"]->NewItem();
    l_second += d["file_name"]->GetItem(LONG_NAME);
    l_second += d["download_entry_status"]->GetItem("queued");
    l_second += l_bob;

    d["room"]->GetItem("lobby").NewItem("room_autojoin");
    d["room"]->GetItem("unjoined");
}

// An item as "type:key", the key "#" for valueless items.
QString Named(Item const& i_item)
{
    QString const l_key = i_item.GetType()->IsNull() ? "#" : QString::fromLatin1(i_item.AsStdString().c_str());
    return QString::fromStdString(i_item.GetTypeName()) + ":" + l_key;
}

QStringList const DUMP_TYPES{"global", "user", "in_user_list", "online_alert", "download_entry",
                             "download_entry_status", "is_active", "file_name", "room", "room_autojoin"};

// Every item of those types, in a canonical text: the item, then its links
// to those types and to the settings' values, sorted.
QStringList Dump()
{
    QStringList l_lines;
    for (QString const& l_typeName : DUMP_TYPES) {
        Type* lp_type = d[l_typeName.toStdString()];
        for (Item const& l_item : lp_type->GetItems()) {
            QStringList l_links;
            for (QString const& l_linkType : DUMP_TYPES + QStringList("global_value")) {
                std::string const l_name = l_linkType.toStdString();
                if (d.HasType(l_name) && lp_type->IsRelatedTo(d[l_name]))
                    for (Item const& l_linked : l_item.GetItems(l_name.c_str()))
                        l_links << Named(l_linked);
            }
            l_links.sort();
            l_lines << Named(l_item) + " -> " + l_links.join(",");
        }
    }
    l_lines.sort();
    return l_lines;
}

QString Stem() { return QDir::homePath() + "/.Quillmar"; }

class Recorder : public DataLoadedEventHandler, public DataHandler
{
public:
    QStringList m_calls;
    int m_newEntries = 0;
    int m_links = 0;
    void DataLoaded() override { m_calls << "DataLoaded"; }
    void NoData() override { m_calls << "NoData"; }
    void OnNewEntry(Item) { ++m_newEntries; }
    void OnLink(ConnectionInfo&) { ++m_links; }
};

QByteArray ReadAll(QString const& i_path)
{
    QFile l_file(i_path);
    l_file.open(QIODevice::ReadOnly);
    return l_file.readAll();
}

void WriteAll(QString const& i_path, QByteArray const& i_bytes)
{
    QFile l_file(i_path);
    l_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    l_file.write(i_bytes);
}

// A copy that saves in the background and hangs, as on a disk that stopped
// answering: its temporary file is a pipe nobody reads, so its open() waits
// until someone does. Data file names follow the newest one, so a file far
// in the future fixes the name of the next save (i_stamp + 1), and of the
// save after it (i_stamp + 2).
QString HangNextCopy(quint64 i_stamp, quint64 i_step = 1)
{
    if (i_step == 1) {
        DataSaver l_first;
        if (!l_first.Save(Stem()))
            return QString();
        QFile::rename(DataSaver::ListDataFiles(Stem()).front().second, Stem() + "." + QString::number(i_stamp));
    }
    QString const l_fifo = Stem() + "." + QString::number(i_stamp + i_step) + ".saving";
    return ::mkfifo(QFile::encodeName(l_fifo).constData(), 0600) == 0 ? l_fifo : QString();
}

// Lets a copy hanging on the pipe go on (it then fails to write).
void ReleaseCopy(QString const& i_fifo)
{
    int const l_fd = ::open(QFile::encodeName(i_fifo).constData(), O_RDONLY | O_NONBLOCK);
    if (l_fd >= 0)
        ::close(l_fd);
}

int s_signalPipe[2] = {-1, -1};
extern "C" void OnTestTermination(int)
{
    char const l_byte = 't';
    ssize_t const l_wrote = ::write(s_signalPipe[1], &l_byte, 1);
    (void)l_wrote;
}

} // namespace

class DataFileTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir l_home(QDir::homePath());
        for (QString const& l_name : l_home.entryList(QStringList(".Quillmar*"), QDir::Files | QDir::Hidden))
            l_home.remove(l_name);
    }

    void SaveLoadRoundTrip()
    {
        DeclareSchema(true);
        Populate();
        QStringList l_before = Dump();
        QVERIFY(l_before.removeOne("room:unjoined -> ")); // not flagged, so not saved
        {
            DataSaver l_saver;
            RegisterSaving(l_saver);
            QVERIFY(l_saver.Save(Stem()));
        }
        auto const l_files = DataSaver::ListDataFiles(Stem());
        QCOMPARE(l_files.size(), std::size_t(1));
        struct stat l_stat;
        QCOMPARE(::stat(QFile::encodeName(l_files[0].second).constData(), &l_stat), 0);
        QCOMPARE(l_stat.st_mode & 0777, mode_t(0600));

        DeclareSchema(false);
        Item const l_constructorStatus = d["download_entry_status"]->HasItem("downloading");
        DataSaver l_saver;
        RegisterSaving(l_saver);
        Recorder l_recorder;
        d["download_entry"]->AddNewItemEventHandler(
            new EventHandler<Recorder, Item>(&l_recorder, &Recorder::OnNewEntry));
        d["download_entry"]->AddConnectEventHandler(
            new EventHandler<Recorder, ConnectionInfo&>(&l_recorder, &Recorder::OnLink));
        l_saver.Load(Stem());

        QCOMPARE(l_recorder.m_calls, QStringList{"DataLoaded"});
        QCOMPARE(l_recorder.m_newEntries, 2);
        QVERIFY(l_recorder.m_links >= 6);
        // Every item and link saved is back, settings included: a flag as its
        // one shared item, a value longer than the network limit and one in
        // no valid UTF-8 byte for byte. A room not flagged was not saved.
        QCOMPARE(Dump(), l_before);
        QVERIFY(d["user"]->HasItem("bob")["online_alert"] == d["online_alert"]->FindGlobalNullItem());
        QCOMPARE(GetVSetting("connected"), QString());
        QVERIFY(d["global_value"]->HasItem("only-virtual").IsNull());
        // The loaded status is the constructor's item, still active.
        QVERIFY(d["download_entry_status"]->HasItem("downloading") == l_constructorStatus);
        QVERIFY(l_constructorStatus.IsConnected("is_active"));
        QVERIFY(!d.HasType("obsolete"));
    }

    // A type that is declared but not saved (a run's rows, sockets, threads)
    // is never taken from a file, even one that holds it.
    void OnlySavedTypesAreLoaded()
    {
        DeclareSchema(true);
        Populate();
        {
            DataSaver l_saver;
            RegisterSaving(l_saver);
            QVERIFY(l_saver.Save(Stem()));
        }
        DeclareSchema(true);
        DataSaver l_saver;
        l_saver.AddSavedType("user");
        l_saver.Load(Stem());
        QCOMPARE(d["user"]->GetItemCount(), std::size_t(4));
        QCOMPARE(d["download_entry"]->GetItemCount() + d["online_alert"]->GetItemCount()
                     + d["obsolete"]->GetItemCount(),
                 std::size_t(0));
    }

    // No file is a first start; saves then rotate, three kept, and a damaged
    // newest file falls back to the one before it.
    void FirstStartAndRotation()
    {
        DeclareSchema(false);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        Recorder l_first;
        l_saver.Load(Stem());
        QCOMPARE(l_first.m_calls, QStringList({"DataLoaded", "NoData"}));
        // A handler gone before the load is not called (nor crashed into).
        Recorder* lp_gone = new Recorder;
        delete lp_gone;
        l_saver.Load(Stem());
        QCOMPARE(l_first.m_calls.size(), 4);

        for (int l_save = 1; l_save <= 5; ++l_save) {
            SetSetting("save_number", qint64(l_save));
            QVERIFY(l_saver.Save(Stem()));
        }
        auto const l_files = DataSaver::ListDataFiles(Stem());
        QCOMPARE(l_files.size(), std::size_t(3));

        QByteArray const l_newest = ReadAll(l_files[0].second);
        WriteAll(l_files[0].second, l_newest.left(l_newest.size() - 10));
        DeclareSchema(false);
        Recorder l_recorder;
        l_saver.Load(Stem());
        QCOMPARE(l_recorder.m_calls, QStringList{"DataLoaded"});
        QCOMPARE(GetSetting("save_number"), QString("4"));
        QVERIFY(QFile::exists(l_files[0].second + ".unreadable"));
        QCOMPARE(DataSaver::ListDataFiles(Stem()).size(), std::size_t(2));
    }

    void TotalLoadFailureKeepsTheStore()
    {
        DeclareSchema(false);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        QVERIFY(l_saver.Save(Stem()));
        SetSetting("upload_slots", QString("7"));
        QVERIFY(l_saver.Save(Stem()));
        auto const l_files = DataSaver::ListDataFiles(Stem());
        QCOMPARE(l_files.size(), std::size_t(2));
        // One file with a flipped byte, one cut to its header.
        QByteArray l_bytes = ReadAll(l_files[0].second);
        l_bytes[l_bytes.size() / 2] = char(l_bytes[l_bytes.size() / 2] ^ 0x01);
        WriteAll(l_files[0].second, l_bytes);
        WriteAll(l_files[1].second, ReadAll(l_files[1].second).left(24));

        DeclareSchema(false);
        SetSetting("listen_port", QString("2235"));
        Recorder l_recorder;
        QVERIFY_EXCEPTION_THROWN(l_saver.Load(Stem()), DataLoadFailure);
        // The handlers ran as on a first start, and the store was left alone.
        QCOMPARE(l_recorder.m_calls, QStringList({"DataLoaded", "NoData"}));
        QCOMPARE(GetSetting("upload_slots"), QString("2"));
        QCOMPARE(GetSetting("listen_port"), QString("2235"));
        QVERIFY(d["download_entry_status"]->HasItem("downloading").IsConnected("is_active"));
        // Both files are set aside, and rotation never touches them.
        QVERIFY(DataSaver::ListDataFiles(Stem()).empty());
        for (int l_save = 0; l_save < 4; ++l_save)
            QVERIFY(l_saver.Save(Stem()));
        QCOMPARE(DataSaver::ListDataFiles(Stem()).size(), std::size_t(3));
        for (auto const& l_file : l_files)
            QVERIFY(QFile::exists(l_file.second + ".unreadable"));
    }

    // A file that fails half-way (an observer throws once its items and
    // some of its links are in) is taken out again: the older file is loaded
    // into the store as it was before, exactly as it is when loaded alone.
    void FailedFileLeavesNothingBehind()
    {
        DeclareSchema(true);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        SetSetting("upload_slots", QString("3"));
        d["user"]->GetItem("dave").NewItem("in_user_list");
        QVERIFY(l_saver.Save(Stem()));
        Populate();
        // A setting that only this file holds, its value shared with
        // another setting's default: the link that fails.
        SetSetting("listen_port", QString("2"));
        QVERIFY(l_saver.Save(Stem()));

        struct Thrower : DataHandler
        {
            void OnLink(ConnectionInfo& i_link)
            {
                if (i_link.m_item1.AsString() == "listen_port")
                    throw std::bad_alloc();
            }
        } l_thrower;
        DeclareSchema(false);
        SetSetting("listen_port", QString("2235"));
        d["global"]->AddConnectEventHandler(new EventHandler<Thrower, ConnectionInfo&>(&l_thrower, &Thrower::OnLink));
        Recorder l_recorder;
        l_saver.Load(Stem());
        QCOMPARE(l_recorder.m_calls, QStringList{"DataLoaded"});
        QStringList const l_loaded = Dump();
        QCOMPARE(GetSetting("upload_slots"), QString("3"));
        QCOMPARE(GetSetting("listen_port"), QString("2235"));
        QCOMPARE(GetSetting("username"), QString());
        QVERIFY(d["user"]->HasItem("alice").IsNull() && d["user"]->HasItem("bob").IsNull());
        QCOMPARE(d["download_entry"]->GetItemCount(), std::size_t(0));
        QCOMPARE(d["file_name"]->GetItemCount(), std::size_t(0));
        QVERIFY(d["download_entry_status"]->HasItem("downloading").IsConnected("is_active"));

        // The same older file alone, into a fresh store.
        DeclareSchema(false);
        SetSetting("listen_port", QString("2235"));
        l_saver.Load(Stem());
        QCOMPARE(l_loaded, Dump());
        QCOMPARE(DataSaver::ListDataFiles(Stem()).size(), std::size_t(1));
    }

    void FailedSaveKeepsOldFiles()
    {
        DeclareSchema(false);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        QVERIFY(l_saver.Save(Stem()));
        auto const l_old = DataSaver::ListDataFiles(Stem());
        QByteArray const l_oldBytes = ReadAll(l_old[0].second);
        SetSetting("upload_slots", QString("9"));

        // A disk that fills up while writing (a file size limit, which binds
        // even the superuser).
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit l_saved;
        getrlimit(RLIMIT_FSIZE, &l_saved);
        struct rlimit l_small = l_saved;
        l_small.rlim_cur = 64;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &l_small), 0);
        bool const l_result = l_saver.Save(Stem());
        setrlimit(RLIMIT_FSIZE, &l_saved);
        QVERIFY(!l_result);
        QCOMPARE(DataSaver::ListDataFiles(Stem()).size(), std::size_t(1));
        QCOMPARE(ReadAll(l_old[0].second), l_oldBytes);
        QCOMPARE(QDir::home().entryList(QStringList(".Quillmar*"), QDir::Files | QDir::Hidden).size(), 1);

        // A folder that cannot be written.
        QVERIFY(!l_saver.Save("/proc/no-such-folder/.Quillmar"));
    }

    // The copy that saves in the background holds the store as it stood at
    // the call, whatever changes meanwhile; a second background save waits
    // its turn, an ordinary save comes after it, and a failure is reported
    // and leaves nothing behind.
    void BackgroundSaveTakesTheStoreAsItStood()
    {
        DeclareSchema(true);
        Populate();
        QStringList l_before = Dump();
        QVERIFY(l_before.removeOne("room:unjoined -> "));
        {
            DataSaver l_saver;
            RegisterSaving(l_saver);
            QVERIFY(l_saver.Save(Stem()));
            std::vector<bool> l_results;
            auto const l_record = [&l_results](bool i_saved) { l_results.push_back(i_saved); };
            QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
            QVERIFY(!l_saver.SaveInBackground(Stem(), l_record));
            SetSetting("upload_slots", QString("9"));
            d["user"]->HasItem("bob").Remove();
            QTRY_COMPARE(l_results, std::vector<bool>{true});
            QVERIFY(!l_saver.IsSavingInBackground());
            auto const l_files = DataSaver::ListDataFiles(Stem());
            QCOMPARE(l_files.size(), std::size_t(2));
            struct stat l_stat;
            QCOMPARE(::stat(QFile::encodeName(l_files[0].second).constData(), &l_stat), 0);
            QCOMPARE(l_stat.st_mode & 0777, mode_t(0600));

            // A save made at once stops a copy still at work, answers for
            // it and comes after it.
            QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
            SetSetting("upload_slots", QString("7"));
            QVERIFY(l_saver.Save(Stem()));
            QCOMPARE(l_results, std::vector<bool>({true, true}));
            QTRY_VERIFY(!l_saver.IsSavingInBackground());
            auto const l_rotated = DataSaver::ListDataFiles(Stem());
            QVERIFY(l_rotated.size() == 3 || l_rotated.size() == 4);
            QVERIFY(l_rotated[0].first > l_files[0].first);
            QCOMPARE(QDir::home().entryList(QStringList(".Quillmar*.saving"), QDir::AllEntries | QDir::Hidden),
                     QStringList());

            QVERIFY(l_saver.SaveInBackground("/proc/no-such-folder/.Quillmar", l_record));
            QTRY_COMPARE(l_results.size(), std::size_t(3));
            QVERIFY(!l_results.back());
            QVERIFY(l_saver.LastFailure().startsWith("cannot create /proc/no-such-folder/.Quillmar."));
            QCOMPARE(QDir::home().entryList(QStringList(".Quillmar*"), QDir::Files | QDir::Hidden).size(),
                     int(l_rotated.size()));

            DeclareSchema(true);
            DataSaver l_loader;
            RegisterSaving(l_loader);
            l_loader.Load(Stem());
            QCOMPARE(GetSetting("upload_slots"), QString("7"));
            QVERIFY(d["user"]->HasItem("bob").IsNull());
            QFile::remove(l_rotated[0].second);
            QFile::remove(l_rotated[1].second);
        }
        DeclareSchema(true);
        DataSaver l_loader;
        RegisterSaving(l_loader);
        l_loader.Load(Stem());
        QCOMPARE(Dump(), l_before);
    }

    // A port the window stops listening on is free again at once, while
    // the copy that saves is still at work.
    void BackgroundSaveHoldsNoSocket()
    {
        DeclareSchema(false);
        for (int l_user = 0; l_user < 50000; ++l_user)
            d["user"]->GetItem(QString("user %1").arg(l_user)).NewItem("in_user_list");
        DataSaver l_saver;
        RegisterSaving(l_saver);
        auto lp_listener = std::make_unique<QTcpServer>();
        QVERIFY(lp_listener->listen(QHostAddress::LocalHost));
        quint16 const l_port = lp_listener->serverPort();
        bool l_done = false;
        QVERIFY(l_saver.SaveInBackground(Stem(), [&l_done](bool) { l_done = true; }));
        lp_listener.reset();
        QTcpServer l_again;
        bool const l_listening = l_again.listen(QHostAddress::LocalHost, l_port);
        QVERIFY2(l_listening, qPrintable(l_again.errorString()));
        QTRY_VERIFY(l_done);
    }

    // Whatever has used up the process's descriptors, both saves still
    // make their files: the saver keeps a few of its own for them.
    void SavesKeepDescriptorsOfTheirOwn()
    {
        DeclareSchema(false);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        std::vector<bool> l_results;
        auto const l_record = [&l_results](bool i_saved) { l_results.push_back(i_saved); };
        // Once before, so that the sanitizers' checks of each kind of call
        // are made while they can still open what they need.
        QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
        QTRY_COMPARE_WITH_TIMEOUT(l_results, std::vector<bool>{true}, 30000);
        l_results.clear();
        rlimit l_limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &l_limit), 0);
        rlimit const l_before = l_limit;
        l_limit.rlim_cur = 256;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &l_limit), 0);
        std::vector<int> l_filler;
        for (int l_fd = 0; (l_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            l_filler.push_back(l_fd);
        bool const l_savedAtOnce = l_saver.Save(Stem());
        bool const l_started = l_saver.SaveInBackground(Stem(), l_record);
        bool const l_ended = l_started && QTest::qWaitFor([&l_results] { return !l_results.empty(); }, 30000);
        for (int l_fd : l_filler)
            ::close(l_fd);
        ::setrlimit(RLIMIT_NOFILE, &l_before);
        QVERIFY(!l_filler.empty());
        QVERIFY2(l_savedAtOnce, qPrintable(l_saver.LastFailure()));
        QVERIFY(l_ended);
        QCOMPARE(l_results, std::vector<bool>{true});
        QCOMPARE(DataSaver::ListDataFiles(Stem()).size(), std::size_t(3));
    }

    // A copy that hangs is killed at its limit and counts as failed, from
    // the event loop; a save made at once meanwhile kills it rather than
    // wait for it (a helper would release the copy after 20 s: the save
    // must be over long before), and answers for it.
    void HangingCopyNeverHoldsTheWindow()
    {
        DeclareSchema(false);
        QString const l_fifo = HangNextCopy(90000000000000);
        QVERIFY(!l_fifo.isEmpty());
        DataSaver l_saver;
        RegisterSaving(l_saver);
        std::vector<bool> l_results;
        auto const l_record = [&l_results](bool i_saved) { l_results.push_back(i_saved); };
        l_saver.SetBackgroundSaveLimit(200);
        QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
        QTRY_COMPARE_WITH_TIMEOUT(l_results, std::vector<bool>{false}, 30000);
        QCOMPARE(l_saver.LastFailure(), QString("the saving process took longer than 0.2 s and was stopped"));
        QVERIFY(!QFileInfo::exists(l_fifo));

        QString const l_second = HangNextCopy(90000000000000, 2);
        QVERIFY(!l_second.isEmpty());
        l_saver.SetBackgroundSaveLimit(600000);
        QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
        std::mutex l_lock;
        std::condition_variable l_over;
        bool l_saved = false;
        bool l_released = false;
        std::thread l_helper([&] {
            std::unique_lock<std::mutex> l_hold(l_lock);
            if (!l_over.wait_for(l_hold, std::chrono::seconds(20), [&] { return l_saved; })) {
                l_released = true;
                ReleaseCopy(l_second);
            }
        });
        bool const l_result = l_saver.Save(Stem());
        {
            std::lock_guard<std::mutex> l_hold(l_lock);
            l_saved = true;
        }
        l_over.notify_all();
        l_helper.join();
        QVERIFY(!l_released);
        QVERIFY(l_result);
        QCOMPARE(l_results, std::vector<bool>({false, true}));
        QTRY_VERIFY(!l_saver.IsSavingInBackground());
        QVERIFY(!QFileInfo::exists(l_second));
        QCOMPARE(DataSaver::ListDataFiles(Stem()).front().first, quint64(90000000000003));
    }

    // The copy runs with the signals at their defaults: a termination
    // signal ends it, instead of running the program's handler (which
    // writes to a descriptor the copy has closed or reused) and going on.
    void CopyTakesSignalsAsTheyCome()
    {
        DeclareSchema(false);
        QString const l_fifo = HangNextCopy(90000000000000);
        QVERIFY(!l_fifo.isEmpty());
        QCOMPARE(::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK), 0);
        struct sigaction l_action = {};
        l_action.sa_handler = OnTestTermination;
        sigemptyset(&l_action.sa_mask);
        l_action.sa_flags = SA_RESTART;
        struct sigaction l_before = {};
        ::sigaction(SIGTERM, &l_action, &l_before);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        std::vector<bool> l_results;
        QVERIFY(l_saver.SaveInBackground(Stem(), [&l_results](bool i_saved) { l_results.push_back(i_saved); }));
        QVERIFY(l_saver.BackgroundSaverId() > 0);
        QCOMPARE(::kill(pid_t(l_saver.BackgroundSaverId()), SIGTERM), 0);
        QTRY_COMPARE_WITH_TIMEOUT(l_results, std::vector<bool>{false}, 30000);
        QCOMPARE(l_saver.LastFailure(), QString("the saving process ended abnormally"));
        ReleaseCopy(l_fifo);
        ::sigaction(SIGTERM, &l_before, nullptr);
        char l_byte = 0;
        QCOMPARE(::read(s_signalPipe[0], &l_byte, 1), ssize_t(-1));
        ::close(s_signalPipe[0]);
        ::close(s_signalPipe[1]);
        QVERIFY(!QFileInfo::exists(l_fifo));
    }

    // A copy ends with the program that made it, even one killed outright
    // while the copy hangs: it is not left to hold its memory, or to write
    // a file, behind a program started again. This test process adopts
    // the orphaned copy, to see it end.
    void CopyEndsWithItsProgram()
    {
        DeclareSchema(false);
        QString const l_fifo = HangNextCopy(90000000000000);
        QVERIFY(!l_fifo.isEmpty());
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        int l_report[2];
        QCOMPARE(::pipe2(l_report, O_CLOEXEC), 0);
        pid_t const l_program = ::fork();
        if (l_program == 0) {
            DataSaver l_saver;
            RegisterSaving(l_saver);
            l_saver.SaveInBackground(Stem());
            qint64 const l_copy = l_saver.BackgroundSaverId();
            ssize_t const l_wrote = ::write(l_report[1], &l_copy, sizeof l_copy);
            (void)l_wrote;
            for (;;)
                ::pause();
        }
        ::close(l_report[1]);
        qint64 l_copy = -1;
        QCOMPARE(::read(l_report[0], &l_copy, sizeof l_copy), ssize_t(sizeof l_copy));
        ::close(l_report[0]);
        QVERIFY(l_copy > 0);
        ::kill(l_program, SIGKILL);
        QCOMPARE(::waitpid(l_program, nullptr, 0), l_program);
        int l_status = 0;
        bool l_ended = false;
        auto const l_reap = [&] { return l_ended = l_ended || ::waitpid(pid_t(l_copy), &l_status, WNOHANG) == l_copy; };
        bool const l_endedWithIt = QTest::qWaitFor(l_reap, 30000);
        if (!l_endedWithIt) {
            ::kill(pid_t(l_copy), SIGKILL);
            ::waitpid(pid_t(l_copy), nullptr, 0);
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        // The copy's temporary file: the next save clears it.
        QFile::remove(l_fifo);
        QVERIFY(l_endedWithIt);
        QVERIFY(WIFSIGNALED(l_status) && WTERMSIG(l_status) == SIGKILL);
    }

    void ClockGoingBackStillSortsNewestFirst()
    {
        DeclareSchema(false);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        QVERIFY(l_saver.Save(Stem()));
        // A file stamped far in the future (the clock was wrong, then fixed).
        QString const l_future = Stem() + ".99999999999999";
        QVERIFY(QFile::copy(DataSaver::ListDataFiles(Stem())[0].second, l_future));
        SetSetting("upload_slots", QString("3"));
        for (int l_save = 0; l_save < 3; ++l_save)
            QVERIFY(l_saver.Save(Stem()));
        auto const l_files = DataSaver::ListDataFiles(Stem());
        QCOMPARE(l_files.size(), std::size_t(3));
        QVERIFY(l_files[0].first > 99999999999999ull);
        DeclareSchema(false);
        l_saver.Load(Stem());
        QCOMPARE(GetSetting("upload_slots"), QString("3"));
    }

    void ParseChecksTheWholeFile()
    {
        // A file of two items of "user" and the flag item of "is_online",
        // linked; then the same file damaged in each way a check must catch.
        QByteArray const l_head = "514d415244415441" "01000000"; // the magic and the format version
        QByteArray const l_good = l_head + "44000000000000007edc4a5902000000040000007573657200020000"
                                           "000900000069735f6f6e6c696e65010100000005000000616c696365"
                                           "03000000626f620101000000000000000200000001000000";
        struct Case
        {
            QByteArray m_hex;
            char const* mp_error;
        } const l_cases[] = {
            {l_good, ""},
            {QByteArray(l_good).replace(40, 2, "7f"), "checksum mismatch"},
            {QByteArray(l_good).replace(24, 2, "45"), "truncated or extended"}, // one byte missing
            {l_good + "00", "truncated or extended"},                          // one byte too many
            {QByteArray(l_good).replace(15, 1, "2"), "not a data file"},
            {QByteArray(l_good).replace(17, 1, "2"), "unknown format version 2"},
            {l_good.left(40), "too short"},
            {l_head + "0400000000000000ffffffffffffffff", "bad type table"},
            {l_head + "1100000000000000bcbfa70f01000000040000007573657200f0ffffff", "bad item count"},
            // 40 valued items cannot fit in the 100 bytes that follow.
            {l_head + "7500000000000000090ed10c0100000004000000757365720028000000" + QByteArray(200, '0'),
             "bad item count"},
            {l_head + "1d00000000000000e8fdc6830100000004000000757365720001000000ffffff7f0000000000000000",
             "bad item"},
            {l_head + "2a000000000000001f9dbe6e010000000400000075736572000100000005000000616c69636501000000"
                      "000000000000000007000000",
             "bad link"},
            {l_head + "0c00000000000000e5d4958100000000ffffffffffff0000", "bad link count"},
            {l_head + "0d000000000000001476737800000000000000000000000001", "unexpected bytes at the end"},
        };
        for (Case const& l_case : l_cases) {
            MemStream l_image(QByteArray::fromHex(l_case.m_hex));
            DataFileContents l_contents;
            QString l_error;
            QCOMPARE(ParseDataFile(l_image, l_contents, l_error), *l_case.mp_error == '\0');
            QCOMPARE(l_error, QString(l_case.mp_error));
            if (l_error.isEmpty()) {
                QCOMPARE(l_contents.m_values, (std::vector<std::string>{"alice", "bob", ""}));
                QCOMPARE(l_contents.m_sharedNull, (std::vector<quint8>{0, 0, 1}));
                QCOMPARE(l_contents.m_links, (std::vector<std::pair<quint32, quint32>>{{2, 1}}));
            }
        }
    }

    void ImportUserList()
    {
        QByteArray const l_names = "0400000064617665" "05000000616c696365" "040000006772fc6e"; // 3 names
        QByteArray const l_oneShort = "03000000" "0400000064617665" "0400000065726f6e";
        struct Case
        {
            QByteArray m_hex;
            bool m_ok;
            std::vector<std::string> m_names;
        } const l_cases[] = {
            {"04000000" + l_names + "00000000", true, {"dave", "alice", "gr\xFCn", ""}},
            {"00000000", true, {}},
            {"", false, {}},
            {l_oneShort, false, {}},
            {"01000200", false, {}},                                   // 0x20001 names
            {"02000000" "050000006672616e6b" "0100020061", false, {}}, // a name above 0x20000 bytes
            {"0100000003000000610062", false, {}},                     // a name with a NUL
        };
        for (Case const& l_case : l_cases) {
            MemStream l_in(QByteArray::fromHex(l_case.m_hex));
            std::vector<std::string> l_decoded;
            QString l_error;
            QCOMPARE(DecodeUserList(l_in, l_decoded, l_error), l_case.m_ok);
            QCOMPARE(l_error.isEmpty(), l_case.m_ok);
            if (l_case.m_ok)
                QCOMPARE(l_decoded, l_case.m_names);
        }

        QString const l_path = QDir::homePath() + "/hotlist.cfg";
        DeclareSchema(false);
        d["user"]->GetItem("alice").NewItem("in_user_list");
        Item const l_aliceEntry = d["user"]->HasItem("alice")["in_user_list"];
        // A bad file adds nobody, not even the names before the fault.
        QVERIFY(!ConfigurationImporter::ImportUserList(QDir::homePath() + "/missing.cfg"));
        WriteAll(l_path, QByteArray::fromHex(l_oneShort));
        QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
        QVERIFY(d["user"]->HasItem("dave").IsNull());
        // A good one: new users listed, a listed one kept as he was, an 8-bit
        // name read as text.
        WriteAll(l_path, QByteArray::fromHex("03000000" + l_names));
        QVERIFY(ConfigurationImporter::ImportUserList(l_path));
        QVERIFY(d["user"]->HasItem("dave").IsConnected("in_user_list"));
        QVERIFY(d["user"]->HasItem(Value(QString::fromUtf8("grün"))).IsConnected("in_user_list"));
        QVERIFY(d["user"]->HasItem("alice")["in_user_list"] == l_aliceEntry);
        QCOMPARE(d["in_user_list"]->GetItemCount(), std::size_t(3));
        // Without the user list's types there is nothing to import into.
        d.Reset();
        QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
    }
};

// These cases delete data files in HOME, so they get a home of their own
// even when the program is run by hand outside the test runner.
int main(int argc, char** argv)
{
    QTemporaryDir l_home;
    if (!l_home.isValid())
        return 1;
    qputenv("HOME", l_home.path().toUtf8());
    QCoreApplication l_app(argc, argv);
    DataFileTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}
#include "DataFileTest.moc"
