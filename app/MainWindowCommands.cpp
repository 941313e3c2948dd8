// The main window's commands: the tool-bar actions of its own pages, the
// list of shared folders and the option buttons that do more than store one
// setting.

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/StatusBar.h"
#include "app/MainWindow.h"
#include "store/ConfigurationImporter.h"
#include "store/windows/DataDialog.h"
#include "store/Settings.h"

#include "server/dialogs/ChangeListeningPortDialog.h"
#include "server/dialogs/ChangeUsernamePasswordDialog.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/ColorSelectionDialog.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui/transfers/ExcludedExtensionsDialog.h"
#include "ui/transfers/SharedFilesRescannedDialog.h"
#include "ui/transfers/SharesForm.h"
#include "ui_MainWindow.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QStatusBar>
#include <QUrl>

void MainWindow::OnToolBarActionTriggered(QWidget*, QString i_action)
{
    if (i_action == QLatin1String("share_folder")) {
        (new AddSharedFolderDialog(Item(), this))->show();
    } else if (i_action == QLatin1String("set_download_folder")) {
        QString const l_folder = QDir::fromNativeSeparators(QFileDialog::getExistingDirectory(
            this, tr("Set Download Folder"), QString(), QFileDialog::ShowDirsOnly));
        if (!l_folder.isEmpty()) {
            SetSetting("download_folder", l_folder);
            mp_ui->downloadFolderEdit->setText(l_folder);
        }
    } else if (i_action == QLatin1String("rescan_shares")) {
        sharedFoldersManager->RescanShares();
    } else if (i_action == QLatin1String("browse_user")) {
        // A share list is kept only for a user whose tab is open.
        QString const l_user = actionBar->GetKey(QStringLiteral("user"));
        if (!l_user.isEmpty() && sharesForm)
            sharesForm->OpenShareBrowse(l_user);
    } else if (i_action == QLatin1String("message_user")) {
        if (ChatForm* lp_page = chatsForm->GetChatForm(actionBar->GetKey(QStringLiteral("user"))))
            lp_page->Focus();
    } else if (i_action == QLatin1String("add_user")) {
        QString const l_user = actionBar->GetKey(QStringLiteral("user"));
        if (!l_user.isEmpty())
            d["user"]->GetItem(Value(l_user)).NewItem("in_user_list");
    } else if (i_action == QLatin1String("set_user_pass")) {
        if (mp_server->IsConnected())
            ShowInformation(tr("Cannot change username while online"),
                            tr("You must be disconnected from the Quillmar server to change your username."));
        else
            OnChangeUsernamePasswordClicked();
    } else if (i_action == QLatin1String("set_listening_port")) {
        (new ChangeListeningPortDialog(peerMessenger ? peerMessenger->ListeningPort() : 0,
                                       peerMessenger ? peerMessenger->ObfuscatedPort() : 0, this))
            ->show();
    } else if (i_action == QLatin1String("connect_disconnect")) {
        if (mp_server->IsConnected()) {
            mp_server->Disconnect();
        } else if (GetSetting("username").isEmpty()) {
            // Nothing to log in with: the user is asked, and the login
            // follows the answer.
            auto* lp_dialog = new ChangeUsernamePasswordDialog(false, this);
            connect(lp_dialog, &QDialog::accepted, mp_server, &Server::Connect);
            lp_dialog->show();
        } else {
            mp_server->Connect();
        }
    }
}

// ------------------------------------------------------ shared-folder list

QTreeWidgetItem* MainWindow::SharedFolderRow(Item const& i_folder) const
{
    QList<QTreeWidgetItem*> const l_rows = mp_ui->sharedFoldersList->findItems(
        i_folder.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive, 0);
    return l_rows.isEmpty() ? nullptr : l_rows.first();
}

void MainWindow::OnSharedFolderAdded(Item i_folder)
{
    new QTreeWidgetItem(mp_ui->sharedFoldersList, QStringList(i_folder.AsString()));
}

void MainWindow::OnSharedFolderRemoved(Item i_folder)
{
    delete SharedFolderRow(i_folder);
}

void MainWindow::OnSharedFolderChange(ConnectionInfo& i_info)
{
    std::string const& l_other = i_info.m_item2.GetTypeName();
    if (l_other != "shared_public" && l_other != "shared_userlist" && l_other != "user_list_group")
        return;
    Item const& l_folder = i_info.m_item1;
    QString l_access;
    if (l_folder.IsConnected("shared_public")) {
        l_access = tr("Everyone");
    } else if (l_folder.IsConnected("shared_userlist")) {
        l_access = tr("User List");
    } else {
        QStringList l_groups;
        for (Item const& l_group : l_folder.GetItems("user_list_group").SortAlphabetic(true, true))
            l_groups << l_group.AsString();
        l_access = l_groups.join(QStringLiteral(", "));
    }
    if (QTreeWidgetItem* lp_row = SharedFolderRow(l_folder))
        lp_row->setText(1, l_access);
}

void MainWindow::OnSharedFoldersListContextMenuRequested(QPoint i_point)
{
    QTreeWidget* lp_list = mp_ui->sharedFoldersList;
    if (!lp_list->itemAt(i_point))
        return;
    QMenu l_menu;
    QIcon const l_icon(QStringLiteral(":/icons/browse_icon"));
    l_menu.addAction(l_icon, tr("Set Folder Permissions"), this, &MainWindow::OnSetFolderPermissions);
    l_menu.addAction(l_icon, tr("Unshare Folder"), this, &MainWindow::OnUnshareFolder);
    l_menu.exec(lp_list->viewport()->mapToGlobal(i_point));
}

Item MainWindow::SelectedSharedFolder() const
{
    QList<QTreeWidgetItem*> const l_selected = mp_ui->sharedFoldersList->selectedItems();
    return l_selected.isEmpty() ? Item() : d["shared_folder"]->HasItem(Value(l_selected.first()->text(0)));
}

void MainWindow::OnSetFolderPermissions()
{
    Item const l_folder = SelectedSharedFolder();
    if (l_folder.IsValid())
        (new AddSharedFolderDialog(l_folder, this))->show();
}

void MainWindow::OnUnshareFolder()
{
    Item const l_folder = SelectedSharedFolder();
    if (l_folder.IsNull())
        return;
    // The index's own routine takes the folder's files out before the
    // collection, so no file stays searchable.
    sharedFoldersManager->UnshareFolder(l_folder);
}

void MainWindow::OnSharedFilesRescanned(int i_filesAdded, int i_filesRemoved)
{
    SharedFilesRescannedDialog* lp_dialog = new SharedFilesRescannedDialog(this);
    lp_dialog->Append(tr("%1 files added.").arg(i_filesAdded));
    lp_dialog->Append(tr("%1 files removed.").arg(i_filesRemoved));
    lp_dialog->setWindowTitle(tr("Shared Files Rescanned"));
    lp_dialog->setVisible(true);
}

void MainWindow::OnDownloadAlreadyComplete(Item i_entry)
{
    QString const l_folder = transferQueueManager->GetDownloadTargetFolder(i_entry, true).replace('\\', '/');
    ShowStatusMessage(this, tr("%1 is already downloaded, in ").arg(Isolated(i_entry["file_name"].AsString())), l_folder, 10000);
}

// The row says "local error" and keeps the reason in its tool tip; the
// reason (a download folder that is a file, a disk that is full) is the
// user's to mend, so it is told here at once.
void MainWindow::OnDownloadLocalError(Item i_entry, QString i_reason)
{
    int const l_path = TrailingPathLength(i_reason);
    QString const l_file = i_entry["file_name"].AsString();
    ShowStatusMessage(this, tr("%1 could not be saved: %2").arg(Isolated(l_file), i_reason.chopped(l_path)),
                      i_reason.right(l_path), 30000);
}

// ---------------------------------------------------------- option buttons

void MainWindow::OnOptionsTabSelectionChanged(int i_tabIndex)
{
    if (i_tabIndex != -1 && mp_ui->optionsTabControl->tabText(i_tabIndex) == QLatin1String("File Sharing"))
        mp_ui->sharedFoldersList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnEditExcludedDownloadExtensionsClicked()
{
    if (!excludedExtensionsDialog)
        new ExcludedExtensionsDialog(this);
    excludedExtensionsDialog->show();
    excludedExtensionsDialog->raise();
    excludedExtensionsDialog->activateWindow();
    excludedExtensionsDialog->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnDataShortcutActivated()
{
    if (!dataDialog)
        new DataDialog(&d, this);
    dataDialog->show();
    dataDialog->raise();
    dataDialog->activateWindow();
}

void MainWindow::OnSelectColors()
{
    (new ColorSelectionDialog(this))->show();
}

void MainWindow::OnChangeUsernamePasswordClicked()
{
    (new ChangeUsernamePasswordDialog(false, this))->show();
}

void MainWindow::OnDisconnectClicked()
{
    gp_server->Disconnect();
}

void MainWindow::OnCheckPortsClicked()
{
    for (char const* lp_key : {"listening_port", "obfuscated_listening_port"})
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://%1/porttest.php?port=%2")
                                           .arg(QLatin1String(g_webHost))
                                           .arg(GetSettingInt(lp_key))));
}

void MainWindow::OnImportUserListClicked()
{
    QString const l_title = tr("Importing user list from original Quillmar client");
    ShowInformation(l_title,
                    tr("To import your user list, your original Quillmar client must be set not to save "
                       "configuration data to the registry (under Options->General), and the hotlist.cfg file must "
                       "then be located on your computer. The next dialog will ask you to navigate to the exact "
                       "location of the hotlist.cfg file."));
    QString const l_path = QDir::fromNativeSeparators(QFileDialog::getOpenFileName(
        this, tr("Find User List Configuration File"), QString(), QStringLiteral("hotlist.cfg")));
    if (l_path.isEmpty())
        return;
    ShowInformation(l_title, ConfigurationImporter::ImportUserList(l_path)
                                 ? tr("Import successful.")
                                 : tr("Import could not be completed successfully."));
}
