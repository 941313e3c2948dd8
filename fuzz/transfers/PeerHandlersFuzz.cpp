// Decoded peer messages handed to their handlers, over a store set up as the
// program sets it up: the server link (not connected), the peer messenger,
// the distributed tree, the shared-folders manager over a small share and
// the transfer engine, made in the main window's order, afresh for every
// input. An input is one message from "fuzzer", a user on a checked
// messaging connection, or one distributed message from the server:
//
//   byte 0, bit 0   0: a peer message (code first); 1: a distributed message
//   byte 0, bit 1   we asked "fuzzer" for his share list and a folder first
//   the rest        the message
//
// Our answers wait for a connection, as they do for a user who is not
// connected; nothing leaves the process. Search 1 is live, so that answers
// to it are taken. An exception out of a handler, on which a connection
// would only be closed, ends the run as a crash: it is a misuse of the
// store that some message can cause.

#include "peers/PeerMessenger.h"
#include "shares/DNetManager.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "store/SlicedWork.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

class Program : public ManagerSet<DataSaver, Server, PeerMessenger, DelayedInvoker, DNetManager,
                                  SharedFoldersManager, TransferQueueManager>
{
public:
    Program()
    {
        // Sliced work (a share list's reading, among others) runs to its
        // end at once: every input is handled before the managers go.
        SlicedWork::SetSliceMs(-1);
        // The engine writes downloads and logs under the home folder.
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_home.path().toUtf8());
        QDir().mkpath(m_home.filePath("share"));
        for (char const* lp_name : {"song one.mp3", "song two.mp3", "notes.txt"}) {
            QFile l_file(m_home.filePath("share/") + lp_name);
            if (l_file.open(QIODevice::WriteOnly))
                l_file.write(QByteArray(1000, 'x'));
        }
    }

    void Handle(uint8_t i_flags, QByteArray const& i_message)
    {
        StartManagers();
        SetSetting("username", QStringLiteral("me"));
        SetSetting("download_folder", m_home.filePath("downloads"));
        ShareFiles();
        Item const l_search = d.GetType("search_request")->GetItem(Value(1));
        l_search += d.GetType("search_request_text")->GetItem(Value("song"));
        mp_transfers->DataLoaded();
        if (i_flags & 2) {
            mp_messenger->GetUserSharedFiles(QStringLiteral("fuzzer"));
            MemStream l_folder;
            l_folder.WriteU32(36);
            l_folder.WriteU32(5);
            l_folder.Write(QString(m_home.filePath("share")).replace('/', '\\'));
            mp_messenger->SendMessage(QStringLiteral("fuzzer"), l_folder);
        }
        if (i_flags & 1) {
            MemStream l_in(i_message);
            mp_dnet->OnDNetMessage(l_in);
        } else {
            mp_messenger->DispatchMessage(QStringLiteral("fuzzer"), i_message);
        }
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        StopManagers();
    }

private:
    // The share, put straight in the store as a scan would leave it.
    void ShareFiles()
    {
        QString const l_path = m_home.filePath("share");
        Item const l_root = d.GetType("shared_folder")->GetItem(Value(l_path));
        l_root += d.GetType("shared_public")->GetGlobalNullItem();
        Item const l_folder = d.GetType("shared_file_folder")->GetItem(Value(l_path));
        l_folder += l_root;
        for (char const* lp_name : {"song one.mp3", "song two.mp3", "notes.txt"}) {
            Item const l_file = d.GetType("shared_file")->NewItem();
            l_file += l_folder;
            l_file += d.GetType("shared_file_name")->GetItem(Value(lp_name));
            l_file += d.GetType("shared_file_size")->GetItem(Value(1000));
            mp_shares->TokenizeSharedFile(l_file);
        }
    }

    QTemporaryDir m_home;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    static int s_argc = 1;
    static char s_name[] = "fuzz_peer_handlers";
    static char* s_argv[] = {s_name, nullptr};
    static QCoreApplication s_app(s_argc, s_argv);
    static Program s_program;
    if (i_size == 0)
        return 0;
    s_program.Handle(ip_data[0], QByteArray(reinterpret_cast<char const*>(ip_data + 1), int(i_size - 1)));
    return 0;
}
