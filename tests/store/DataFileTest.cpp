#include "store/ConfigurationImporter.h"
#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <zlib.h>

#include <csignal>
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
    for (char const* lp_type : {"user", "in_user_list", "online_alert", "download_entry", "download_entry_status",
                                "is_active", "file_name", "room_autojoin", "obsolete"})
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

// Every item of the types, in a canonical text: key (or, for valueless
// items, "#"), then its links to the types in i_linkTypes, sorted.
QStringList Dump(QStringList const& i_types, QStringList const& i_linkTypes)
{
    QStringList l_lines;
    for (QString const& l_typeName : i_types) {
        Type* lp_type = d[l_typeName.toStdString()];
        for (Item const& l_item : lp_type->GetItems()) {
            QStringList l_links;
            for (QString const& l_linkType : i_linkTypes) {
                std::string const l_name = l_linkType.toStdString();
                if (!d.HasType(l_name) || !lp_type->IsRelatedTo(d[l_name]))
                    continue;
                for (Item const& l_linked : l_item.GetItems(l_name.c_str()))
                    l_links << l_linkType + "=" + (d[l_name]->IsNull() ? QString("#") : QString::fromLatin1(l_linked.AsStdString().c_str()));
            }
            l_links.sort();
            l_lines << l_typeName + ":" + (lp_type->IsNull() ? QString("#") : QString::fromLatin1(l_item.AsStdString().c_str()))
                           + " -> " + l_links.join(",");
        }
    }
    l_lines.sort();
    return l_lines;
}

QStringList const DUMP_TYPES{"global", "user", "in_user_list", "online_alert", "download_entry",
                             "download_entry_status", "is_active", "file_name", "room", "room_autojoin"};

QString Stem() { return QDir::homePath() + "/.Quillmar"; }

void RemoveDataFiles()
{
    QDir l_home(QDir::homePath());
    for (QString const& l_name : l_home.entryList(QStringList(".Quillmar*"), QDir::Files | QDir::Hidden))
        l_home.remove(l_name);
}

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

} // namespace

class DataFileTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void SaveLoadRoundTrip();
    void NoFileIsAFirstStart();
    void RotationKeepsThreeAndFallsBack();
    void TotalLoadFailureKeepsTheStore();
    void FailedSaveKeepsOldFiles();
    void ClockGoingBackStillSortsNewestFirst();
    void HostileFilesAreRejected();
    void ImportUserList();
};

void DataFileTest::init()
{
    RemoveDataFiles();
}

void DataFileTest::SaveLoadRoundTrip()
{
    DeclareSchema(true);
    Populate();
    QStringList l_before = Dump(DUMP_TYPES, DUMP_TYPES + QStringList{"global_value"});
    QVERIFY(l_before.removeOne("room:unjoined -> ")); // not flagged, so not saved
    {
        DataSaver l_saver;
        QCOMPARE(dataSaver, &l_saver);
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
    QCOMPARE(Dump(DUMP_TYPES, DUMP_TYPES + QStringList{"global_value"}), l_before);

    QCOMPARE(GetSetting("upload_slots"), QString("5"));
    QCOMPARE(GetSetting("username"), QString::fromUtf8("Zoë"));
    QCOMPARE(GetVSetting("connected"), QString());
    QVERIFY(d["global_value"]->HasItem("only-virtual").IsNull());
    // The loaded status is the constructor's item, still active.
    QVERIFY(d["download_entry_status"]->HasItem("downloading") == l_constructorStatus);
    QVERIFY(l_constructorStatus.IsConnected("is_active"));
    // Flags are the single shared item again.
    QCOMPARE(d["online_alert"]->GetItemCount(), std::size_t(1));
    QVERIFY(d["user"]->HasItem("bob")["online_alert"] == d["online_alert"]->FindGlobalNullItem());
    QCOMPARE(d["is_active"]->GetItemCount(), std::size_t(1));
    // Rooms are saved only while flagged; a value longer than the network
    // limit and one in no valid UTF-8 come back byte for byte.
    QVERIFY(d["room"]->HasItem("unjoined").IsNull());
    QVERIFY(!d["file_name"]->HasItem(LONG_NAME).IsNull());
    QVERIFY(!d["user"]->HasItem(std::string("caf\xE9")).IsNull());
    QVERIFY(!d.HasType("obsolete"));
    QVERIFY(!d["user"]->HasItem("carol").IsNull());
}

void DataFileTest::NoFileIsAFirstStart()
{
    DeclareSchema(false);
    DataSaver l_saver;
    Recorder l_recorder;
    l_saver.Load(Stem());
    QCOMPARE(l_recorder.m_calls, QStringList({"DataLoaded", "NoData"}));
    {
        // A handler gone before the load is not called (nor crashed into).
        Recorder* lp_gone = new Recorder;
        delete lp_gone;
        l_saver.Load(Stem());
    }
    QCOMPARE(l_recorder.m_calls.size(), 4);
}

void DataFileTest::RotationKeepsThreeAndFallsBack()
{
    DeclareSchema(false);
    DataSaver l_saver;
    RegisterSaving(l_saver);
    for (int l_save = 1; l_save <= 5; ++l_save) {
        SetSetting("save_number", qint64(l_save));
        QVERIFY(l_saver.Save(Stem()));
    }
    auto const l_files = DataSaver::ListDataFiles(Stem());
    QCOMPARE(l_files.size(), std::size_t(3));

    // The newest file cut short: the one before it is loaded instead.
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

void DataFileTest::TotalLoadFailureKeepsTheStore()
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

void DataFileTest::FailedSaveKeepsOldFiles()
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
    if (geteuid() != 0) {
        QDir().mkpath(QDir::homePath() + "/locked");
        QString const l_lockedStem = QDir::homePath() + "/locked/.Quillmar";
        QVERIFY(l_saver.Save(l_lockedStem));
        QFile::setPermissions(QDir::homePath() + "/locked", QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(!l_saver.Save(l_lockedStem));
        QFile::setPermissions(QDir::homePath() + "/locked",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(DataSaver::ListDataFiles(l_lockedStem).size(), std::size_t(1));
    }
}

void DataFileTest::ClockGoingBackStillSortsNewestFirst()
{
    DeclareSchema(false);
    DataSaver l_saver;
    RegisterSaving(l_saver);
    QVERIFY(l_saver.Save(Stem()));
    // A file stamped far in the future (the clock was wrong, then fixed).
    QString const l_future = Stem() + ".99999999999999";
    QVERIFY(QFile::copy(DataSaver::ListDataFiles(Stem())[0].second, l_future));
    SetSetting("upload_slots", QString("3"));
    QVERIFY(l_saver.Save(Stem()));
    QVERIFY(l_saver.Save(Stem()));
    QVERIFY(l_saver.Save(Stem()));
    auto const l_files = DataSaver::ListDataFiles(Stem());
    QCOMPARE(l_files.size(), std::size_t(3));
    QVERIFY(l_files[0].first > 99999999999999ull);
    DeclareSchema(false);
    l_saver.Load(Stem());
    QCOMPARE(GetSetting("upload_slots"), QString("3"));
}

void DataFileTest::HostileFilesAreRejected()
{
    // Well-formed headers over hostile payloads: huge counts and indexes
    // must fail the file, not allocate or index out of range.
    auto l_file = [](MemStream const& i_payload) {
        MemStream l_out;
        l_out.WriteBuffer("QMARDATA", 8);
        l_out.WriteU32(1);
        l_out.WriteU64(i_payload.Size());
        QByteArray const l_bytes = i_payload.ToByteArray();
        l_out.WriteU32(quint32(crc32(0, reinterpret_cast<Bytef const*>(l_bytes.constData()), uInt(l_bytes.size()))));
        l_out.WriteBuffer(l_bytes.constData(), static_cast<unsigned long>(l_bytes.size()));
        return l_out.ToByteArray();
    };
    // A type table of one valued type, "user", claiming i_count items.
    auto l_userTable = [](quint32 i_count) {
        MemStream l_out;
        l_out.WriteU32(1);
        l_out.WriteRaw(std::string("user"));
        l_out.WriteBool(false);
        l_out.WriteU32(i_count);
        return l_out;
    };
    MemStream l_hugeTypes;
    l_hugeTypes.WriteU32(0xFFFFFFFFu);
    MemStream l_hugeItems = l_userTable(0xFFFFFFF0u);
    // Fewer bytes than the claimed valued items' lengths alone would take.
    MemStream l_shortItems = l_userTable(40000);
    l_shortItems.WriteBuffer(std::string(100000, '\0').data(), 100000);
    MemStream l_badIndex = l_userTable(1);
    l_badIndex.WriteRaw(std::string("alice"));
    l_badIndex.WriteU64(1);
    l_badIndex.WriteU32(0);
    l_badIndex.WriteU32(7);
    MemStream l_hugeLinks;
    l_hugeLinks.WriteU32(0);
    l_hugeLinks.WriteU64(0xFFFFFFFFFFFFull);

    DeclareSchema(false);
    DataSaver l_saver;
    qint64 l_stamp = 1000;
    for (MemStream const* lp_payload : {&l_hugeTypes, &l_hugeItems, &l_shortItems, &l_badIndex, &l_hugeLinks})
        WriteAll(Stem() + "." + QString::number(l_stamp++), l_file(*lp_payload));
    WriteAll(Stem() + "." + QString::number(l_stamp++), QByteArray("QMARDATA\x02\0\0\0", 12) + QByteArray(20, '\0'));
    WriteAll(Stem() + "." + QString::number(l_stamp++), QByteArray());
    SetSwitch("show_diagnostics", true);
    QVERIFY_EXCEPTION_THROWN(l_saver.Load(Stem()), DataLoadFailure);
    QVERIFY(d["user"]->HasItem("alice").IsNull());
    QVERIFY(DataSaver::ListDataFiles(Stem()).empty());
    // The short file is refused on its counts, before any item is read.
    QString const l_log = QString::fromUtf8(ReadAll(QDir::homePath() + "/qmar-client-logs/Configuration Data.log"));
    QVERIFY(l_log.contains(".Quillmar.1002 is unreadable (bad item count)"));
}

void DataFileTest::ImportUserList()
{
    auto l_names = [](std::vector<std::string> const& i_names, quint32 i_count) {
        MemStream l_out;
        l_out.WriteU32(i_count);
        for (std::string const& l_name : i_names)
            l_out.WriteRaw(l_name);
        return l_out.ToByteArray();
    };
    QString const l_path = QDir::homePath() + "/hotlist.cfg";
    DeclareSchema(false);
    d["user"]->GetItem("alice").NewItem("in_user_list");
    Item const l_aliceEntry = d["user"]->HasItem("alice")["in_user_list"];

    // Bad files add nobody.
    QVERIFY(!ConfigurationImporter::ImportUserList(QDir::homePath() + "/missing.cfg"));
    WriteAll(l_path, QByteArray());
    QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
    WriteAll(l_path, l_names({"dave", "erin"}, 3)); // one name short
    QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
    WriteAll(l_path, l_names({}, 0x20001));
    QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
    MemStream l_longName;
    l_longName.WriteU32(2);
    l_longName.WriteRaw(std::string("frank"));
    l_longName.WriteU32(0x20001);
    l_longName.WriteBuffer(std::string(0x20001, 'x').data(), 0x20001);
    WriteAll(l_path, l_longName.ToByteArray());
    QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
    QCOMPARE(d["in_user_list"]->GetItemCount(), std::size_t(1));
    QVERIFY(d["user"]->HasItem("dave").IsNull());
    QVERIFY(d["user"]->HasItem("frank").IsNull());

    // A good file: new users listed, a listed one kept as he was, an 8-bit
    // name read as text.
    WriteAll(l_path, l_names({"dave", "alice", "gr\xFCn", ""}, 4));
    QVERIFY(ConfigurationImporter::ImportUserList(l_path));
    QVERIFY(d["user"]->HasItem("dave").IsConnected("in_user_list"));
    QVERIFY(d["user"]->HasItem(Value(QString::fromUtf8("grün"))).IsConnected("in_user_list"));
    QVERIFY(d["user"]->HasItem("alice")["in_user_list"] == l_aliceEntry);
    QCOMPARE(d["in_user_list"]->GetItemCount(), std::size_t(3));
    WriteAll(l_path, l_names({}, 0));
    QVERIFY(ConfigurationImporter::ImportUserList(l_path));

    // Without the user list's types there is nothing to import into.
    d.Reset();
    QVERIFY(!ConfigurationImporter::ImportUserList(l_path));
}

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
