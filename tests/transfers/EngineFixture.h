#ifndef QUILLMAR_TESTS_TRANSFERS_ENGINEFIXTURE_H
#define QUILLMAR_TESTS_TRANSFERS_ENGINEFIXTURE_H

// The transfer queue manager beside the real server link, peer messenger and
// share index, made in the main window's order, with a share of a few files,
// a clock the test moves, and raw peers that read what the engine sends.

#include "../peers/PeerTestSupport.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>

#include <map>
#include <memory>

inline QByteArray Le64(quint64 i_value)
{
    char l_bytes[8];
    qToLittleEndian(i_value, l_bytes);
    return QByteArray(l_bytes, 8);
}

inline QByteArray Str(QByteArray const& i_text)
{
    return Le32(quint32(i_text.size())) + i_text;
}

class EngineFixture
{
protected:
    static constexpr qint64 MiB = 1048576;

    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<SharedFoldersManager> mp_shares;
    std::unique_ptr<TransferQueueManager> mp_manager;
    std::map<QString, std::unique_ptr<QTcpSocket>> m_peers;
    QDateTime m_now = QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
    Item m_publicRoot;

    // "Share" is public; "Private" is shared with nobody. Share's a.mp3,
    // b.mp3 and c.mp3 count as 500 MiB, 1 MiB and 5 GiB.
    void StartEngine()
    {
        mp_dir = std::make_unique<QTemporaryDir>();
        d.Reset();
        DeclareSettingsTypes();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        mp_messenger = std::make_unique<PeerMessenger>();
        mp_shares = std::make_unique<SharedFoldersManager>();
        mp_manager = std::make_unique<TransferQueueManager>();
        mp_manager->SetClock([this] { return m_now; });
        SetSetting("listening_port", qint64(0));
        SetSetting("download_folder", mp_dir->filePath("Downloads"));
        mp_messenger->DataLoaded();
        for (QString l_name : {"a", "b", "c", "f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"})
            WriteFile("Share/" + l_name + ".mp3", l_name.toUtf8());
        WriteFile("Private/p.mp3", "p");
        m_publicRoot = mp_shares->AddSharedFolder(mp_dir->filePath("Share"));
        d.GetType("shared_public")->GetGlobalNullItem() += m_publicRoot;
        mp_shares->AddSharedFolder(mp_dir->filePath("Private"));
        qint64 const l_sizes[] = {500 * MiB, MiB, 5120 * MiB};
        for (int l_k = 0; l_k < 3; ++l_k)
            File(QString("Share/%1.mp3").arg(QChar('a' + l_k))) +=
                d.GetType("shared_file_size")->GetItem(Value(static_cast<long long>(l_sizes[l_k])));
    }

    void StopEngine()
    {
        m_peers.clear();
        mp_manager.reset();
        mp_shares.reset();
        mp_messenger.reset();
        mp_server.reset();
        d.Reset();
    }

    void WriteFile(QString const& i_name, QByteArray const& i_bytes)
    {
        QString const l_path = mp_dir->filePath(i_name);
        QDir().mkpath(QFileInfo(l_path).path());
        QFile l_file(l_path);
        if (!l_file.open(QIODevice::WriteOnly) || l_file.write(i_bytes) != i_bytes.size())
            qFatal("cannot write %s", qPrintable(l_path));
    }

    // The name a peer asks for: our local path with backslashes.
    QString Remote(QString const& i_name) const { return mp_dir->filePath(i_name).replace('/', '\\'); }
    Item File(QString const& i_name) const { return mp_shares->GetSharedFileItem(mp_dir->filePath(i_name)); }
    static Item User(QString const& i_user) { return d.GetType("user")->GetItem(Value(i_user)); }
    Item Upload(QString const& i_user, QString const& i_name) const
    {
        return d.GetItem(User(i_user), File(i_name), "upload_entry");
    }
    static QString Status(Item const& i_entry) { return i_entry["upload_entry_status"].AsString(); }
    static void SetOnline(QString const& i_user, bool i_online) { SetFlag(User(i_user), "is_online", i_online); }

    void Request(QString const& i_user, QString const& i_name)
    {
        emit mp_messenger->QueueUploadRequested(i_user, Remote(i_name));
    }

    // The user's raw messaging connection, opened when first asked for.
    QTcpSocket& Peer(QString const& i_user)
    {
        std::unique_ptr<QTcpSocket>& lp_peer = m_peers[i_user];
        if (!lp_peer) {
            if (User(i_user)["user_address"].IsNull()) // as the server gives it: the user is who he says
                SetUserAddress(i_user, ClosedPort());
            lp_peer = ConnectRaw(mp_messenger->ListeningPort());
            if (!lp_peer)
                qFatal("no messaging connection");
            lp_peer->write(HandshakeFrame(i_user, "P"));
            for (int l_waited = 0; mp_messenger->OpenMessagingConnectionCount(i_user) == 0; l_waited += 10) {
                if (l_waited > 5000)
                    qFatal("no handshake");
                QTest::qWait(10);
            }
        }
        return *lp_peer;
    }

    // Every message the user received since the last call: a request for his
    // user information (peer message 15) is sent last and marks the end.
    QList<QByteArray> Sent(QString const& i_user)
    {
        QTcpSocket& l_peer = Peer(i_user);
        mp_messenger->GetUserInfo(i_user);
        QList<QByteArray> l_frames;
        for (QByteArray l_frame; AwaitFrame(l_peer, l_frame) && l_frame != Le32(15);)
            l_frames << l_frame;
        return l_frames;
    }

    QByteArray Denial(QString const& i_name, QByteArray const& i_reason) const
    {
        return Le32(50) + Str(Remote(i_name).toUtf8()) + Str(i_reason);
    }
    QByteArray Offer(QString const& i_name, quint32 i_token, qint64 i_size) const
    {
        return Le32(40) + Le32(1) + Le32(i_token) + Str(Remote(i_name).toUtf8()) + Le64(quint64(i_size));
    }
};

#endif
