#include "HeadlessClient.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/WishListSearcher.h"
#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/StoreCollector.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"
#include "transfers/TransferItems.h"
#include "transfers/TransferQueueManager.h"

#include <QDir>

#include <memory>

namespace {

// Names and paths come from peers: a line break in one must not make a line
// of its own on the control channel.
QString OneLine(QString i_text)
{
    for (QChar& l_char : i_text)
        if (l_char.unicode() < 0x20)
            l_char = QLatin1Char('?');
    return i_text;
}

QString RemotePath(Item const& i_folder, Item const& i_name)
{
    return OneLine(i_folder.AsString() + QLatin1Char('\\') + i_name.AsString());
}

QString DownloadPath(Item const& i_entry)
{
    return RemotePath(i_entry["remote_folder"], i_entry["file_name"]);
}

qint64 CellValue(Item const& i_cell)
{
    qint64 const* lp_value = i_cell.IsNull() ? nullptr : TransferItems::ObjectAt<qint64>(i_cell);
    return lp_value ? *lp_value : -1;
}

// The first word and the rest of a command's arguments.
QString Head(QString const& i_text)
{
    return i_text.section(QLatin1Char(' '), 0, 0);
}

QString Tail(QString const& i_text)
{
    return i_text.section(QLatin1Char(' '), 1);
}

} // namespace

HeadlessClient::HeadlessClient(Output i_output) : m_output(std::move(i_output))
{
    m_clock.start();
}

HeadlessClient::~HeadlessClient()
{
    if (m_loaded)
        Save();
    if (mp_server)
        mp_server->Disconnect();
    mp_wishList.reset();
    mp_transfers.reset();
    mp_shares.reset();
    mp_invoker.reset();
    mp_dnet.reset();
    mp_messenger.reset();
    mp_server.reset();
    mp_saver.reset();
    mp_translator.reset();
    TimerManager::Destroy();
}

QString HeadlessClient::DataFileStem()
{
    return QDir::homePath() + QStringLiteral("/.Quillmar");
}

bool HeadlessClient::Load()
{
    // The managers of the engines in the main window's order, each
    // declaring its store types before the load.
    mp_saver = std::make_unique<DataSaver>();
    mp_server = std::make_unique<Server>();
    DeclareSettingsTypes();
    dataSaver->AddSavedType("global");
    dataSaver->AddSavedByConnectionType("global_value", "global");
    mp_server->CreateData();
    qRegisterMetaType<Item>("Item");
    mp_messenger = std::make_unique<PeerMessenger>();
    mp_invoker = std::make_unique<DelayedInvoker>();
    // Before the shares manager, which answers the searches it relays.
    mp_dnet = std::make_unique<DNetManager>();
    mp_shares = std::make_unique<SharedFoldersManager>();
    // What the diagnostics window declares: the log entries of users.
    DeclareItemLogTypes();
    RegisterLoggableItemType("user");
    mp_transfers = std::make_unique<TransferQueueManager>();
    mp_wishList = std::make_unique<WishListSearcher>();
    mp_translator = std::make_unique<ExtendedAsciiTranslator>();

    connect(mp_server.get(), &Server::Connected, this, [this]() { Event("connected", QString()); });
    connect(mp_server.get(), &Server::Disconnected, this, [this]() { Event("disconnected", QString()); });
    connect(mp_server.get(), &Server::ConnectionFailed, this,
            [this](QString i_reason) { Event("connection-failed", OneLine(i_reason)); });
    connect(mp_messenger.get(), &PeerMessenger::SearchResults, this, &HeadlessClient::OnSearchResults);
    connect(mp_transfers.get(), &TransferQueueManager::CompleteDownloadAdded, this,
            &HeadlessClient::OnCompleteDownload);
    connect(mp_shares.get(), &SharedFoldersManager::StartupMergeFinished, this, [this]() {
        Event("shares-ready", QString::number(d["shared_file"]->GetItems().size()));
    });
    // Connected after the manager, so the store holds the result already.
    connect(&mp_shares->GetFileScanner(), &FileScanner::MP3Scanned, this,
            [this](QString i_file, int, QString, int, bool, int i_bitrate) {
                Event("mp3-scanned", QString::number(i_bitrate) + QLatin1Char(' ') + OneLine(i_file));
            });
    connect(mp_shares.get(), &SharedFoldersManager::SearchProcessed, this, [this](QString i_text, bool i_match) {
        Event("searched", QLatin1String(i_match ? "yes " : "no ") + OneLine(i_text));
    });
    d.AddConnectionEventHandler(d["download_entry"], d["download_entry_status"],
                                new EventHandler<HeadlessClient, ConnectionInfo&>(this, &HeadlessClient::OnDownloadStatus));
    d.AddConnectionEventHandler(d["upload_entry"], d["upload_entry_status"],
                                new EventHandler<HeadlessClient, ConnectionInfo&>(this, &HeadlessClient::OnUploadStatus));
    d.AddConnectionEventHandler(d["dnet_global"], d["dnet_value"],
                                new EventHandler<HeadlessClient, ConnectionInfo&>(this, &HeadlessClient::OnDNetValue));
    d.AddConnectionEventHandler(d["dnet_child"], d["user"],
                                new EventHandler<HeadlessClient, ConnectionInfo&>(this, &HeadlessClient::OnDNetChild));

    try {
        dataSaver->Load(DataFileStem());
    } catch (DataLoadFailure const& i_failure) {
        Reply(QStringLiteral("error no data file could be read: ") + QString::fromUtf8(i_failure.what()));
        return false;
    }
    m_loaded = true;
    return true;
}

void HeadlessClient::Start()
{
    if (!GetSetting("username").isEmpty())
        mp_server->Connect();
    // The main window's own periodic work: collection and saving.
    TimerManager* lp_timers = TimerManager::Obj();
    connect(&lp_timers->m_fiveMinutesTimer, &QTimer::timeout, this, []() {
        StoreCollector::Obj()->Collect();
        d.Audit();
    });
    // As the window saves every hour: in the background, so that the event
    // loop goes on while the store is read and the file written (at once,
    // the save held it for a third of a second with 200,000 shared files),
    // and with no collection first, since the five-minute one comes with
    // this tick.
    connect(&lp_timers->m_hourTimer, &QTimer::timeout, this, []() { dataSaver->SaveInBackground(DataFileStem()); });
    mp_shares->Init();
    Event("started", QString::number(mp_messenger->ListeningPort()));
}

bool HeadlessClient::Prepare(QStringList const& i_arguments)
{
    for (QString const& l_argument : i_arguments) {
        int const l_equals = l_argument.indexOf(QLatin1Char('='));
        if (l_equals <= 0) {
            Reply(QStringLiteral("error not KEY=VALUE: ") + l_argument);
            return false;
        }
        QString const l_key = l_argument.left(l_equals);
        QString const l_value = l_argument.mid(l_equals + 1);
        if (l_key == QLatin1String("share"))
            mp_shares->AddSharedFolder(QDir(l_value).absolutePath()) += d["shared_public"]->GetGlobalNullItem();
        else if (l_key == QLatin1String("user-list"))
            d["user"]->GetItem(Value(l_value)).NewItem("in_user_list");
        else
            SetSetting(l_key.toUtf8().constData(), l_value);
    }
    // Saved once: the end of the process need not save again.
    m_loaded = false;
    return Save();
}

bool HeadlessClient::Save()
{
    d.RemoveDisconnectedItems();
    return dataSaver->Save(DataFileStem());
}

void HeadlessClient::Reply(QString const& i_line)
{
    m_output(i_line);
}

void HeadlessClient::Event(QString const& i_name, QString const& i_fields)
{
    QString l_line = QStringLiteral("event %1 %2").arg(m_clock.elapsed()).arg(i_name);
    if (!i_fields.isEmpty())
        l_line += QLatin1Char(' ') + i_fields;
    m_output(l_line);
}

// ------------------------------------------------------------- commands

void HeadlessClient::RunCommand(QString const& i_line)
{
    QString const l_line = i_line.trimmed();
    QString const l_command = Head(l_line);
    QString const l_arguments = Tail(l_line);
    if (l_command == QLatin1String("search"))
        Search(l_arguments);
    else if (l_command == QLatin1String("results"))
        ListResults(l_arguments);
    else if (l_command == QLatin1String("download"))
        Download(l_arguments);
    else if (l_command == QLatin1String("set"))
        Set(l_arguments);
    else if (l_command == QLatin1String("unshare"))
        Unshare(l_arguments);
    else if (l_command == QLatin1String("status"))
        Status();
    else if (l_command == QLatin1String("quit"))
        emit QuitRequested();
    else if (!l_line.isEmpty())
        Reply(QStringLiteral("error unknown command: ") + OneLine(l_line));
}

void HeadlessClient::Search(QString const& i_text)
{
    if (i_text.trimmed().isEmpty())
        return Reply(QStringLiteral("error search needs a text"));
    quint32 const l_token = mp_server->FileSearch(i_text, QString());
    Reply(QStringLiteral("searching %1 %2").arg(l_token).arg(OneLine(i_text)));
}

void HeadlessClient::ListResults(QString const& i_token)
{
    bool l_ok = false;
    quint32 const l_token = i_token.toUInt(&l_ok);
    Item const l_request = l_ok ? d["search_request"]->HasItem(Value(l_token)) : Item();
    int l_count = 0;
    for (Item const& l_results : l_request.GetItems("search_results")) {
        QString const l_user = OneLine(l_results["user"].AsString());
        for (Item const& l_result : l_results.GetItems("search_result")) {
            Item const l_bitrate = l_result["bitrate"];
            Reply(QStringLiteral("result %1 %2 %3 %4 %5")
                      .arg(i_token, l_user, QString::number(l_result["file_size"].AsInt64()),
                           l_bitrate.IsNull() ? QStringLiteral("-") : l_bitrate.AsString(),
                           RemotePath(l_result["search_result_file_folder"], l_result["search_result_file_name"])));
            ++l_count;
        }
    }
    Reply(QStringLiteral("results-end %1 %2").arg(OneLine(i_token), QString::number(l_count)));
}

void HeadlessClient::Download(QString const& i_arguments)
{
    QString const l_user = Head(i_arguments);
    bool l_ok = false;
    qint64 const l_size = Head(Tail(i_arguments)).toLongLong(&l_ok);
    std::string const l_path = Tail(Tail(i_arguments)).toStdString();
    if (l_user.isEmpty() || !l_ok || l_path.empty())
        return Reply(QStringLiteral("error usage: download USER SIZE PATH"));
    Item const l_entry =
        mp_transfers->AddDownload(l_user, GetFileName(l_path), GetFolder(l_path), l_size, false, 0);
    if (l_entry.IsNull())
        return Reply(QStringLiteral("error download refused"));
    Reply(QStringLiteral("download-queued ") + DownloadPath(l_entry));
}

void HeadlessClient::Set(QString const& i_arguments)
{
    QString const l_key = Head(i_arguments);
    if (l_key.isEmpty())
        return Reply(QStringLiteral("error usage: set KEY VALUE"));
    SetSetting(l_key.toUtf8().constData(), Tail(i_arguments));
    // The limits are read into the speed budgets, not looked up per chunk.
    mp_transfers->DetermineUploadSpeedLimit();
    mp_transfers->DetermineDownloadSpeedLimit();
    Reply(QStringLiteral("set ") + OneLine(l_key));
}

void HeadlessClient::Unshare(QString const& i_path)
{
    Item const l_root = d["shared_folder"]->HasItem(Value(QDir(i_path).absolutePath()));
    if (l_root.IsNull())
        return Reply(QStringLiteral("error not a shared folder: ") + OneLine(i_path));
    mp_shares->UnshareFolder(l_root);
    // The files leave the index in the background: the reply waits for that.
    QString const l_reply = QStringLiteral("unshared ") + OneLine(i_path);
    if (!mp_shares->IsBusy())
        return Reply(l_reply);
    auto lp_settled = std::make_shared<QMetaObject::Connection>();
    *lp_settled = connect(mp_shares.get(), &SharedFoldersManager::ShareProgress, this,
                          [this, lp_settled, l_reply](QString i_text) {
                              if (!i_text.isEmpty())
                                  return;
                              disconnect(*lp_settled);
                              Reply(l_reply);
                          });
}

void HeadlessClient::Status()
{
    Reply(QStringLiteral("server %1").arg(int(mp_server->GetState())));
    Reply(QStringLiteral("dnet parent %1 children %2").arg(mp_dnet->HasParent() ? "yes" : "no").arg(mp_dnet->ChildCount()));
    for (Item const& l_entry : d["download_entry"]->GetItems())
        Reply(QStringLiteral("download %1 %2 %3 %4")
                  .arg(OneLine(l_entry["user"].AsString()), l_entry["download_entry_status"].AsString(),
                       QString::number(CellValue(l_entry["write_position"])), DownloadPath(l_entry)));
    for (Item const& l_entry : d["upload_entry"]->GetItems())
        Reply(QStringLiteral("upload %1 %2 %3")
                  .arg(OneLine(l_entry["user"].AsString()), l_entry["upload_entry_status"].AsString(),
                       OneLine(l_entry["filename_as_requested"].AsString())));
    Reply(QStringLiteral("status-end"));
}

// --------------------------------------------------------------- events

void HeadlessClient::OnSearchResults(Item i_results)
{
    Event("results", QStringLiteral("%1 %2 %3")
                         .arg(i_results["search_request"].AsString(), OneLine(i_results["user"].AsString()),
                              QString::number(i_results.GetItems("search_result").size())));
}

void HeadlessClient::OnDownloadStatus(ConnectionInfo& i_info)
{
    Item const& l_entry = i_info.m_item1;
    QString l_fields = QStringLiteral("%1 %2 %3 %4")
                           .arg(i_info.m_item2.AsString(), OneLine(l_entry["user"].AsString()),
                                QString::number(CellValue(l_entry["write_position"])), DownloadPath(l_entry));
    // Peer text never holds a tab here, so the tab ends the path.
    if (Item const l_reason = l_entry["denial_reason"]; l_reason.IsValid())
        l_fields += QLatin1Char('\t') + OneLine(l_reason.AsString());
    Event("download-status", l_fields);
}

void HeadlessClient::OnUploadStatus(ConnectionInfo& i_info)
{
    Item const& l_entry = i_info.m_item1;
    Event("upload-status", QStringLiteral("%1 %2 %3")
                               .arg(i_info.m_item2.AsString(), OneLine(l_entry["user"].AsString()),
                                    OneLine(l_entry["filename_as_requested"].AsString())));
}

void HeadlessClient::OnDNetValue(ConnectionInfo& i_info)
{
    if (i_info.m_item1.AsString() == QLatin1String("dnet_parent_user"))
        Event("dnet-parent", OneLine(i_info.m_item2.AsString()));
}

void HeadlessClient::OnDNetChild(ConnectionInfo& i_info)
{
    Event("dnet-child", OneLine(i_info.m_item2.AsString()));
}

void HeadlessClient::OnCompleteDownload(Item i_complete)
{
    QString l_path = RemotePath(i_complete["complete_download_folder"], i_complete["complete_download_filename"]);
    l_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    Event("download-complete", OneLine(i_complete["user"].AsString()) + QLatin1Char(' ') + l_path);
}
