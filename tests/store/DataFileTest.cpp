#include "store/ConfigurationImporter.h"
#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/SlicedWork.h"

#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// A background save whose writer hangs, as on a disk that stopped
// answering: its temporary file is a pipe nobody reads, so its open() waits
// until someone does. Data file names follow the newest one, so a file far
// in the future fixes the name of the next save (i_stamp + 1), and of the
// save after it (i_stamp + 2).
QString HangNextWriter(quint64 i_stamp, quint64 i_step = 1)
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

// Lets a writer hanging on the pipe go on (it then fails to write).
void ReleaseWriter(QString const& i_fifo)
{
    int const l_fd = ::open(QFile::encodeName(i_fifo).constData(), O_RDONLY | O_NONBLOCK);
    if (l_fd >= 0)
        ::close(l_fd);
}

// A store with an item and a link of each kind the file holds: a type
// linked to itself, a valueless type's shared item and another of its
// items, a type saved by connection with one item in and one out, and two
// related types of as many items each.
void DeclareSmallStore(DataSaver& io_saver)
{
    d.Reset();
    d.NewType("user", ROOT, false, true);
    d.NewType("is_online", LEAF, true, false);
    d.NewType("room", ROOT, false, true);
    d.NewType("room_autojoin", LEAF, true, false);
    d["user"]->RelateToType(d["user"], MANY, MANY, false);
    d["user"]->RelateToType(d["is_online"], MANY, ONE, false);
    d["room"]->RelateToType(d["room_autojoin"], MANY, ONE, false);
    for (char const* lp_type : {"user", "is_online", "room_autojoin"})
        io_saver.AddSavedType(lp_type);
    io_saver.AddSavedByConnectionType("room", "room_autojoin");
    Item const l_alice = d["user"]->GetItem("alice");
    Item const l_bob = d["user"]->GetItem("bob");
    Item const l_carol = d["user"]->GetItem("carol");
    l_alice += l_bob;
    l_carol += l_alice;
    l_bob += d["is_online"]->GetGlobalNullItem();
    l_carol += d["is_online"]->NewItem();
    d["room"]->GetItem("lobby") += d["room_autojoin"]->GetGlobalNullItem();
    d["room"]->GetItem("quiet");
}

// Its file: the types; alice, bob, carol, the shared and the other
// is_online, the shared room_autojoin, lobby; then the links bob-alice,
// bob-is_online, carol-alice, carol-is_online and lobby-room_autojoin.
QByteArray const SMALL_STORE_FILE = QByteArray::fromHex(
    "514d415244415441010000009b00000000000000e86e704a040000000400000075736572000300000009000000"
    "69735f6f6e6c696e6501020000000d000000726f6f6d5f6175746f6a6f696e010100000004000000726f6f6d00"
    "0100000005000000616c69636503000000626f62050000006361726f6c010001050000006c6f62627905000000"
    "00000000010000000000000001000000030000000200000000000000020000000400000006000000050000"
    "00");

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

        // What a program killed while it wrote leaves goes with the next
        // save; names that are not the saves' own stay.
        for (char const* lp_name : {".17.saving", ".notes.saving", ".saving", ".17x"})
            WriteAll(Stem() + lp_name, "x");
        for (int l_save = 1; l_save <= 5; ++l_save) {
            SetSetting("save_number", qint64(l_save));
            QVERIFY(l_saver.Save(Stem()));
        }
        auto const l_files = DataSaver::ListDataFiles(Stem());
        QCOMPARE(l_files.size(), std::size_t(3));
        QVERIFY(!QFile::exists(Stem() + ".17.saving"));
        for (char const* lp_name : {".notes.saving", ".saving", ".17x"})
            QVERIFY2(QFile::exists(Stem() + lp_name), lp_name);

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

    // A start's load in slices leaves the store, the handlers and the files
    // as a load at once does: a good newest file, a newest file that fails
    // half-way (then the older one), or none readable. Nothing is in the
    // store when the call returns, and the file goes in over several turns
    // of the event loop; its handles to the 6,000 items it made go a step's
    // work at a time after it (all at once, they held the window 50 to
    // 120 ms at two million files).
    void LoadInSlicesEndsAsALoadAtOnce_data()
    {
        QTest::addColumn<bool>("failHalfWay");
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("newest file") << false << false;
        QTest::newRow("newest file fails half-way") << true << false;
        QTest::newRow("no file readable") << false << true;
    }
    void LoadInSlicesEndsAsALoadAtOnce()
    {
        QFETCH(bool, failHalfWay);
        QFETCH(bool, unreadable);
        DeclareSchema(true);
        DataSaver l_saver;
        RegisterSaving(l_saver);
        SetSetting("upload_slots", QString("3"));
        QVERIFY(l_saver.Save(Stem()));
        Populate();
        for (int l_user = 0; l_user < 3000; ++l_user)
            d["user"]->GetItem(QString("user%1").arg(l_user).toStdString()).NewItem("in_user_list");
        SetSetting("listen_port", QString("2"));
        QVERIFY(l_saver.Save(Stem()));
        std::vector<std::pair<QString, QByteArray>> l_files;
        for (auto const& l_file : DataSaver::ListDataFiles(Stem())) {
            QByteArray l_bytes = ReadAll(l_file.second);
            if (unreadable)
                l_bytes[l_bytes.size() / 2] = char(l_bytes[l_bytes.size() / 2] ^ 0x01);
            l_files.emplace_back(l_file.second, l_bytes);
        }

        struct Thrower : DataHandler
        {
            void OnLink(ConnectionInfo& i_link)
            {
                if (i_link.m_item1.AsString() == "listen_port")
                    throw std::bad_alloc();
            }
        } l_thrower;
        auto const l_prepare = [&]() {
            init();
            for (auto const& l_file : l_files)
                WriteAll(l_file.first, l_file.second);
            DeclareSchema(false);
            SetSetting("listen_port", QString("2235"));
            if (failHalfWay)
                d["global"]->AddConnectEventHandler(
                    new EventHandler<Thrower, ConnectionInfo&>(&l_thrower, &Thrower::OnLink));
        };
        l_prepare();
        QStringList l_atOnceCalls;
        bool l_failed = false;
        {
            Recorder l_recorder;
            try {
                l_saver.Load(Stem());
            } catch (DataLoadFailure const&) {
                l_failed = true;
            }
            l_atOnceCalls = l_recorder.m_calls;
        }
        QStringList const l_atOnce = Dump();
        auto const l_atOnceFiles = DataSaver::ListDataFiles(Stem());

        l_prepare();
        QStringList const l_before = Dump();
        Recorder l_recorder;
        SlicedWork::SetSliceMs(0);
        int l_result = -1, l_turnsHalfIn = 0;
        QTimer l_probe;
        QObject::connect(&l_probe, &QTimer::timeout, [&]() {
            l_turnsHalfIn += l_saver.LoadProgress() > 0 && l_saver.LoadProgress() < 1;
        });
        l_probe.start(0);
        DataSaver::MostItemsLetGoInALoadStep();
        l_saver.LoadInSlices(Stem(), [&](bool i_loaded) { l_result = i_loaded; });
        QVERIFY(l_saver.IsLoading());
        QCOMPARE(Dump(), l_before);
        QTRY_VERIFY_WITH_TIMEOUT(l_result >= 0, 30000);
        SlicedWork::SetSliceMs(10);
        std::size_t const l_mostLetGo = DataSaver::MostItemsLetGoInALoadStep();
        // (A file that fails lets go of what it made at once, as it is
        // taken out.)
        if (!failHalfWay && !unreadable)
            QVERIFY2(l_mostLetGo > 0 && l_mostLetGo <= 4096, qPrintable(QString::number(l_mostLetGo)));
        QCOMPARE(l_result, int(!l_failed));
        QCOMPARE(l_failed, unreadable);
        QCOMPARE(Dump(), l_atOnce);
        QCOMPARE(l_recorder.m_calls, l_atOnceCalls);
        QCOMPARE(DataSaver::ListDataFiles(Stem()), l_atOnceFiles);
        if (!unreadable)
            QVERIFY2(l_turnsHalfIn >= 2, qPrintable(QString::number(l_turnsHalfIn)));
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

    // Whichever way it is made, a save of the same store is the same bytes:
    // at once, in the background in one slice, and in the background one
    // step a turn of the event loop.
    void BackgroundSaveWritesWhatASaveAtOnceWrites()
    {
        struct Case
        {
            char const* mp_name;
            bool m_background;
            qint64 m_sliceMs;
        } const l_cases[] = {{"at once", false, 10}, {"one slice", true, -1}, {"a step a turn", true, 0}};
        for (Case const& l_case : l_cases) {
            init();
            DataSaver l_saver;
            DeclareSmallStore(l_saver);
            SlicedWork::SetSliceMs(l_case.m_sliceMs);
            std::vector<bool> l_results;
            int l_turns = 0;
            if (!l_case.m_background) {
                l_results.push_back(l_saver.Save(Stem()));
            } else {
                QVERIFY(l_saver.SaveInBackground(Stem(), [&l_results](bool i_saved) { l_results.push_back(i_saved); }));
                for (; !l_saver.BackgroundImageBuilt(); ++l_turns)
                    QCoreApplication::processEvents();
                QTRY_COMPARE_WITH_TIMEOUT(l_results.size(), std::size_t(1), 30000);
            }
            SlicedWork::SetSliceMs(10);
            QVERIFY2(l_results == std::vector<bool>{true}, l_case.mp_name);
            QVERIFY2((l_turns > 1) == (l_case.m_sliceMs == 0), l_case.mp_name);
            auto const l_files = DataSaver::ListDataFiles(Stem());
            QCOMPARE(l_files.size(), std::size_t(1));
            QVERIFY2(ReadAll(l_files[0].second) == SMALL_STORE_FILE, l_case.mp_name);
        }
    }

    // The store keeps changing between the slices of a background save:
    // items come and go, join and leave the types saved by connection, links
    // are made and broken. The file is the store as it stands after the
    // last slice, byte for byte what a save made at once then writes.
    void BackgroundSaveFollowsTheStoreBetweenSlices()
    {
        DeclareSchema(true);
        Populate();
        for (int l_number = 0; l_number < 3000; ++l_number) {
            Item const l_user = d["user"]->GetItem(QString("user %1").arg(l_number));
            l_user += d["user"]->HasItem("alice");
            if (l_number % 3 == 0)
                l_user.NewItem("online_alert");
        }
        Item const l_alice = d["user"]->HasItem("alice");
        Item const l_bob = d["user"]->HasItem("bob");
        // Rooms with members: a room that joins the file brings links older
        // than the save.
        d["room"]->RelateToType(d["user"], MANY, MANY, false);
        d["room"]->HasItem("unjoined") += l_alice;
        d["room"]->HasItem("lobby") += l_bob;
        std::vector<std::function<void()>> const l_changes = {
            [] { SetSetting("upload_slots", QString("8")); }, // a value in and one out
            [] { d["user"]->GetItem("dave"); },
            [&l_bob] { l_bob.Remove(); }, // linked to alice, a download and an alert
            [&l_alice] { l_alice += d["user"]->HasItem("dave"); },
            [&l_alice] { l_alice.Disconnect("in_user_list"); },
            [] { d["room"]->HasItem("unjoined").NewItem("room_autojoin"); }, // in from before
            [] { d["room"]->HasItem("lobby")["room_autojoin"].Remove(); },   // out
            [] { d["user"]->HasItem("user 10") += d["online_alert"]->GetGlobalNullItem(); },
            [] { d["user"]->HasItem("user 12").Remove(); },
            [] {
                Item const l_entry = d["download_entry"]->NewItem();
                l_entry += d["file_name"]->GetItem("new.mp3");
                l_entry += d["user"]->HasItem("user 20");
            },
            [] { d["room"]->GetItem("new room") += d["room_autojoin"]->NewItem(); }, // in, made since
            [] { d["user"]->HasItem("user 30").Disconnect("online_alert"); },
            [] { d["user"]->GetItem("erin").Remove(); }, // made and gone meanwhile
        };
        DataSaver l_saver;
        RegisterSaving(l_saver);
        QString const l_twinStem = QDir::homePath() + "/.QuillmarTwin";
        // Saves in the background, making the changes from the given turn
        // of the event loop on, one every other turn; then compares its file
        // with one made at once after the last slice. The number of turns the
        // save took.
        auto const l_compare = [&](int i_from, std::vector<std::function<void()>> const& i_changes) {
            SlicedWork::SetSliceMs(0);
            std::vector<bool> l_results;
            bool const l_started =
                l_saver.SaveInBackground(Stem(), [&l_results](bool i_saved) { l_results.push_back(i_saved); });
            std::size_t l_applied = 0;
            int l_turn = 0;
            for (; l_started && !l_saver.BackgroundImageBuilt(); ++l_turn) {
                if (l_turn >= i_from && (l_turn - i_from) % 2 == 0 && l_applied < i_changes.size())
                    i_changes[l_applied++]();
                QCoreApplication::processEvents();
            }
            SlicedWork::SetSliceMs(10);
            {
                DataSaver l_twin;
                RegisterSaving(l_twin);
                l_twin.Save(l_twinStem);
            }
            bool const l_ended = QTest::qWaitFor([&l_results] { return !l_results.empty(); }, 30000);
            bool const l_same = l_ended && l_results.front() &&
                                ReadAll(DataSaver::ListDataFiles(Stem()).front().second) ==
                                    ReadAll(DataSaver::ListDataFiles(l_twinStem).front().second);
            return std::make_pair(l_applied == i_changes.size() && l_same ? l_turn : -1, l_applied);
        };
        auto const l_all = l_compare(0, l_changes);
        QCOMPARE(l_all.second, l_changes.size());
        QVERIFY(l_all.first > int(2 * l_changes.size()));
        // At each turn in turn (while the types are listed, walked, or once
        // they were): a room joins with a member from before, a link is
        // broken and two are made between items that were in the file, and
        // an item goes from a type that gains none.
        Item const l_unjoined = d["room"]->HasItem("unjoined");
        Item const l_broken = d["user"]->HasItem("user 40");
        Item const l_made = d["user"]->HasItem("user 50");
        Item const l_listed = d["user"]->HasItem("user 60");
        Item const l_entry = d["download_entry"]->GetItems().begin()[0];
        for (int l_turn = 0; l_turn < l_all.first; l_turn += 3) {
            l_unjoined.Disconnect("room_autojoin");
            l_alice += l_broken;
            l_alice.Disconnect(l_made);
            l_listed["in_user_list"].Remove();
            l_entry += d["file_name"]->GetItem("a.mp3");
            auto const l_changed = l_compare(l_turn, {[&] {
                                                 l_unjoined.NewItem("room_autojoin");
                                                 l_alice.Disconnect(l_broken);
                                                 l_made += l_alice;
                                                 l_listed.NewItem("in_user_list");
                                                 l_entry["file_name"].Remove();
                                             }});
            QVERIFY2(l_changed.second == 0 || l_changed.first >= 0,
                     qPrintable(QString("changed at turn %1").arg(l_turn)));
        }
    }

    // Links of a relation declared unsaved (a room's members) are not in a
    // file written now, nor taken from one written before that holds them;
    // the items at both ends come back either way. bob joins while the
    // save is under way.
    void UnsavedRelationStaysOut_data()
    {
        QTest::addColumn<bool>("writerSkips");
        QTest::addColumn<bool>("readerSkips");
        QTest::addColumn<bool>("background");
        QTest::addColumn<QString>("members");
        QTest::newRow("declared nowhere") << false << false << false << "alice";
        QTest::newRow("declared nowhere, in the background") << false << false << true << "alice bob";
        QTest::newRow("file written before") << false << true << false << "";
        QTest::newRow("file written now") << true << false << false << "";
        QTest::newRow("file written now, in the background") << true << false << true << "";
    }
    void UnsavedRelationStaysOut()
    {
        QFETCH(bool, writerSkips);
        QFETCH(bool, readerSkips);
        QFETCH(bool, background);
        QFETCH(QString, members);
        auto const l_declare = [](DataSaver& io_saver, bool i_skips) {
            DeclareSchema(true);
            d["room"]->RelateToType(d["user"], MANY, MANY, false);
            RegisterSaving(io_saver);
            if (i_skips)
                io_saver.AddUnsavedRelation("user", "room");
        };
        {
            DataSaver l_saver;
            l_declare(l_saver, writerSkips);
            Populate();
            Item const l_lobby = d["room"]->HasItem("lobby");
            l_lobby += d["user"]->HasItem("alice");
            if (background) {
                SlicedWork::SetSliceMs(0);
                bool l_saved = false;
                QVERIFY(l_saver.SaveInBackground(Stem(), [&l_saved](bool i_saved) { l_saved = i_saved; }));
                QVERIFY(!l_saver.BackgroundImageBuilt());
                l_lobby += d["user"]->HasItem("bob");
                QTRY_VERIFY_WITH_TIMEOUT(l_saved, 30000);
                SlicedWork::SetSliceMs(10);
            } else {
                QVERIFY(l_saver.Save(Stem()));
            }
        }
        DataSaver l_saver;
        l_declare(l_saver, readerSkips);
        l_saver.Load(Stem());
        Item const l_lobby = d["room"]->HasItem("lobby");
        QVERIFY(l_lobby.IsConnected("room_autojoin") && d["user"]->HasItem("bob").IsValid());
        QStringList l_members;
        for (Item const& l_user : l_lobby.GetItems("user"))
            l_members << QString::fromStdString(l_user.AsStdString());
        l_members.sort();
        QCOMPARE(l_members.join(' '), members);
    }

    // The file is written by a thread beside the window's: the event loop
    // turns while the writer is held. The writer takes no signal, so that
    // the program's termination handlers never run on it.
    void BackgroundSaveWritesOffTheWindowThread()
    {
        DeclareSchema(true);
        Populate();
        DataSaver l_saver;
        RegisterSaving(l_saver);
        std::thread::id const l_window = std::this_thread::get_id();
        std::mutex l_lock;
        std::condition_variable l_change;
        bool l_entered = false;
        bool l_released = false;
        std::thread::id l_writer;
        bool l_signalsBlocked = false;
        DataSaver::SetWriteHook([&] {
            sigset_t l_mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &l_mask);
            std::unique_lock<std::mutex> l_hold(l_lock);
            l_signalsBlocked = sigismember(&l_mask, SIGTERM) == 1 && sigismember(&l_mask, SIGINT) == 1;
            l_writer = std::this_thread::get_id();
            l_entered = true;
            l_change.notify_all();
            if (l_writer != l_window)
                l_change.wait_for(l_hold, std::chrono::seconds(60), [&] { return l_released; });
        });
        std::vector<bool> l_results;
        QVERIFY(l_saver.SaveInBackground(Stem(), [&l_results](bool i_saved) { l_results.push_back(i_saved); }));
        bool const l_held = QTest::qWaitFor(
            [&] {
                std::lock_guard<std::mutex> l_hold(l_lock);
                return l_entered;
            },
            30000);
        int l_turns = 0;
        for (; l_turns < 5 && l_results.empty(); ++l_turns)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        {
            std::lock_guard<std::mutex> l_hold(l_lock);
            l_released = true;
        }
        l_change.notify_all();
        QTRY_COMPARE_WITH_TIMEOUT(l_results, std::vector<bool>{true}, 30000);
        DataSaver::SetWriteHook({});
        QVERIFY(l_held);
        QVERIFY(l_writer != l_window);
        QVERIFY(l_signalsBlocked);
        QCOMPARE(l_turns, 5);
    }

    // One background save at a time; a save made at once stops one still
    // at work, answers for it and comes after it; a failure is reported and
    // leaves nothing behind.
    void BackgroundSaveTakesItsTurn()
    {
        DeclareSchema(true);
        Populate();
        {
            DataSaver l_saver;
            RegisterSaving(l_saver);
            QVERIFY(l_saver.Save(Stem()));
            std::vector<bool> l_results;
            auto const l_record = [&l_results](bool i_saved) { l_results.push_back(i_saved); };
            QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
            QVERIFY(!l_saver.SaveInBackground(Stem(), l_record));
            QTRY_COMPARE(l_results, std::vector<bool>{true});
            QVERIFY(!l_saver.IsSavingInBackground());
            auto const l_files = DataSaver::ListDataFiles(Stem());
            QCOMPARE(l_files.size(), std::size_t(2));
            struct stat l_stat;
            QCOMPARE(::stat(QFile::encodeName(l_files[0].second).constData(), &l_stat), 0);
            QCOMPARE(l_stat.st_mode & 0777, mode_t(0600));
            QVERIFY(ReadAll(l_files[0].second) == ReadAll(l_files[1].second));
            SetSetting("upload_slots", QString("9"));
            d["user"]->HasItem("bob").Remove();

            // Stopped while it gathers, and while it writes.
            for (qint64 l_sliceMs : {0, -1}) {
                SlicedWork::SetSliceMs(l_sliceMs);
                QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
                SlicedWork::SetSliceMs(10);
                QCOMPARE(l_saver.BackgroundImageBuilt(), l_sliceMs < 0);
                SetSetting("upload_slots", QString("7"));
                QVERIFY(l_saver.Save(Stem()));
                QCOMPARE(l_results.back(), true);
                QTRY_VERIFY(!l_saver.IsSavingInBackground());
            }
            QCOMPARE(l_results, std::vector<bool>({true, true, true}));
            auto const l_rotated = DataSaver::ListDataFiles(Stem());
            QVERIFY(l_rotated.size() == 3 || l_rotated.size() == 4);
            QVERIFY(l_rotated[0].first > l_files[0].first);
            QCOMPARE(QDir::home().entryList(QStringList(".Quillmar*.saving"), QDir::AllEntries | QDir::Hidden),
                     QStringList());

            QVERIFY(l_saver.SaveInBackground("/proc/no-such-folder/.Quillmar", l_record));
            QTRY_COMPARE(l_results.size(), std::size_t(4));
            QVERIFY(!l_results.back());
            QVERIFY(l_saver.LastFailure().startsWith(
                "cannot create (No such file or directory): /proc/no-such-folder/.Quillmar."));
            QCOMPARE(QDir::home().entryList(QStringList(".Quillmar*"), QDir::Files | QDir::Hidden).size(),
                     int(l_rotated.size()));

            DeclareSchema(true);
            DataSaver l_loader;
            RegisterSaving(l_loader);
            l_loader.Load(Stem());
            QCOMPARE(GetSetting("upload_slots"), QString("7"));
            QVERIFY(d["user"]->HasItem("bob").IsNull());
        }
    }

    // A port the window stops listening on is free again at once, while
    // the save is still at work.
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

    // A writer that hangs is given up at its limit and counts as failed,
    // from the event loop, and the next save starts once it has ended; a
    // save made at once meanwhile does not wait for one (a helper would
    // release the writer after 20 s: the save must be over long before),
    // and answers for it.
    void HangingWriterNeverHoldsTheWindow()
    {
        DeclareSchema(false);
        QString const l_fifo = HangNextWriter(90000000000000);
        QVERIFY(!l_fifo.isEmpty());
        DataSaver l_saver;
        RegisterSaving(l_saver);
        std::vector<bool> l_results;
        auto const l_record = [&l_results](bool i_saved) { l_results.push_back(i_saved); };
        l_saver.SetBackgroundSaveLimit(200);
        // Gathered whole before the call returns: the limit, which runs
        // from the event loop, can only come while the writer hangs.
        SlicedWork::SetSliceMs(-1);
        QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
        SlicedWork::SetSliceMs(10);
        QVERIFY(l_saver.BackgroundImageBuilt());
        QTRY_COMPARE_WITH_TIMEOUT(l_results, std::vector<bool>{false}, WAIT_MS);
        QCOMPARE(l_saver.LastFailure(), QString("the save took longer than 0.2 s and was given up"));
        QVERIFY(l_saver.IsSavingInBackground());
        QVERIFY(!l_saver.SaveInBackground(Stem(), l_record));
        // Released at every turn: a writer that had not yet opened the pipe
        // when it was first released (a busy machine) would hang on it again.
        QTRY_VERIFY_WITH_TIMEOUT((ReleaseWriter(l_fifo), !l_saver.IsSavingInBackground()), 30000);
        QCOMPARE(l_results, std::vector<bool>{false});
        QVERIFY(!QFileInfo::exists(l_fifo));

        QString const l_second = HangNextWriter(90000000000000, 2);
        QVERIFY(!l_second.isEmpty());
        // Its limit comes at the first turn of the event loop, after the
        // save made at once has answered for it: no failure then.
        l_saver.SetBackgroundSaveLimit(0);
        SlicedWork::SetSliceMs(-1); // gathered whole before the call returns
        QVERIFY(l_saver.SaveInBackground(Stem(), l_record));
        SlicedWork::SetSliceMs(10);
        QVERIFY(l_saver.BackgroundImageBuilt());
        std::mutex l_lock;
        std::condition_variable l_over;
        bool l_saved = false;
        bool l_released = false;
        std::thread l_helper([&] {
            std::unique_lock<std::mutex> l_hold(l_lock);
            if (!l_over.wait_for(l_hold, std::chrono::seconds(20), [&] { return l_saved; })) {
                l_released = true;
                ReleaseWriter(l_second);
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
        for (int l_turn = 0; l_turn < 5; ++l_turn)
            QCoreApplication::processEvents();
        QCOMPARE(l_saver.LastFailure(), QString());
        QTRY_VERIFY_WITH_TIMEOUT((ReleaseWriter(l_second), !l_saver.IsSavingInBackground()), 30000);
        QVERIFY(!QFileInfo::exists(l_second));
        QCOMPARE(DataSaver::ListDataFiles(Stem()).front().first, quint64(90000000000003));
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
