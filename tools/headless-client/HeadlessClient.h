#ifndef QUILLMAR_TOOLS_HEADLESSCLIENT_H
#define QUILLMAR_TOOLS_HEADLESSCLIENT_H

// The client without windows: the managers of the engines, built in the
// shell's start-up order, driven by text commands and reporting what
// happens as text lines. The control channel is described in
// docs/headless-client.md.

#include "store/Data.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class DataSaver;
class DelayedInvoker;
class DNetManager;
class ExtendedAsciiTranslator;
class PeerMessenger;
class Server;
class SharedFoldersManager;
class TransferQueueManager;
class WishListSearcher;

class HeadlessClient : public QObject, public DataHandler
{
    Q_OBJECT
public:
    // Every line the client writes goes through this.
    typedef std::function<void(QString const& i_line)> Output;
    explicit HeadlessClient(Output i_output);
    // Saves the data, then deletes the managers in the shell's order.
    ~HeadlessClient() override;

    // Builds the managers and loads the saved data of $HOME. False, with a
    // line on the output, when the data files exist but none could be read.
    bool Load();
    // After Load: starts the login (when a user name is stored) and the
    // scan of the shared folders.
    void Start();
    // After Load: "KEY=VALUE" stores a setting, "share=PATH" shares a folder
    // with everyone, "user-list=NAME" puts a user on the user list; then the
    // data is saved. False on a malformed argument.
    bool Prepare(QStringList const& i_arguments);

    void RunCommand(QString const& i_line);
    static QString DataFileStem();

signals:
    void QuitRequested();

private:
    void Reply(QString const& i_line);
    // "event <ms since start> <name> <fields>".
    void Event(QString const& i_name, QString const& i_fields);
    bool Save();

    void Search(QString const& i_text);
    void ListResults(QString const& i_token);
    void Download(QString const& i_arguments);
    void Set(QString const& i_arguments);
    void Unshare(QString const& i_path);
    void Status();

    void OnSearchResults(Item i_results);
    void OnDownloadStatus(ConnectionInfo& i_info);
    void OnUploadStatus(ConnectionInfo& i_info);
    void OnCompleteDownload(Item i_complete);
    void OnDNetValue(ConnectionInfo& i_info);
    void OnDNetChild(ConnectionInfo& i_info);

    QElapsedTimer m_clock;
    Output m_output;
    bool m_loaded = false;

    // In the order of creation; deleted in the shell's order.
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<DelayedInvoker> mp_invoker;
    std::unique_ptr<DNetManager> mp_dnet;
    std::unique_ptr<SharedFoldersManager> mp_shares;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    std::unique_ptr<WishListSearcher> mp_wishList;
    std::unique_ptr<ExtendedAsciiTranslator> mp_translator;
};

#endif
