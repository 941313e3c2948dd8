#include "ui/transfers/ShareForm.h"

#include "ui/transfers/ShareModel.h"
#include "ui/transfers/ShareTree.h"
#include "store/SlicedWork.h"

#include "ui_ShareForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/Globals.h"
#include "peers/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "store/Settings.h"
#include "store/Utilities.h"
#include "transfers/TransferQueueManager.h"

#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QShowEvent>

namespace {

QString const s_browseIcon = QStringLiteral(":/icons/browse_icon");

// Names go into the export as the peer sent them, but a character that XML
// 1.0 does not allow (most control characters, lone surrogates) would make
// the whole file unreadable: it becomes the replacement character.
QString XmlText(QString i_text)
{
    for (int l_at = 0; l_at < i_text.size(); ++l_at) {
        ushort const l_code = i_text.at(l_at).unicode();
        bool l_allowed = l_code >= 0x20 || l_code == 0x09 || l_code == 0x0A || l_code == 0x0D;
        if (l_code == 0xFFFE || l_code == 0xFFFF)
            l_allowed = false;
        if (QChar::isHighSurrogate(l_code)) {
            l_allowed = l_at + 1 < i_text.size() && i_text.at(l_at + 1).isLowSurrogate();
            if (l_allowed) {
                ++l_at;
                continue;
            }
        } else if (QChar::isLowSurrogate(l_code)) {
            l_allowed = false;
        }
        if (!l_allowed)
            i_text[l_at] = QChar(QChar::ReplacementCharacter);
    }
    return i_text;
}

} // namespace

ShareForm::ShareForm(QString i_user, QWidget* ip_parent) : SharePage(i_user, ip_parent), mp_ui(new Ui_ShareForm)
{
    mp_ui->setupUi(this);
    MakeTree(mp_ui->folderTree, mp_ui->fileList, mp_ui->filterEdit, mp_ui->filterHelpButton,
             ShareTree::CASE_INSENSITIVE);
    mp_exportWork = new SlicedWork(this);
    if (actionBar) {
        actionBar->RegisterWidget(this, QStringLiteral("share_folders"));
        actionBar->RegisterWidget(mp_ui->fileList, QStringLiteral("share_files"));
    }
    d["user_share_tab"]->GetItem(Value(this)) += d["user"]->GetItem(Value(i_user));
    mp_ui->messageBrowser->append(QStringLiteral("Requesting file list..."));
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &ShareForm::OnConnectionToUserFailed);
        connect(peerMessenger, &PeerMessenger::ShareListRefused, this, &ShareForm::OnShareListRefused);
    }

    Item const l_setting = GetSettingItem("download_folders_on_double_click");
    PathNode* lp_setting = new PathNode(l_setting);
    new PathNode(lp_setting, "global_value", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_setting, new EventHandler<ShareForm, Item>(
                                          this, &ShareForm::OnDownloadFoldersOnDoubleClickToggled));
    OnDownloadFoldersOnDoubleClickToggled(l_setting);
}

ShareForm::~ShareForm()
{
    delete mp_ui;
}

QTextBrowser* ShareForm::MessageArea() const
{
    return mp_ui->messageBrowser;
}

bool ShareForm::IsIdle() const
{
    return Tree()->IsIdle() && !mp_exportWork->IsRunning();
}

void ShareForm::OnDownloadFoldersOnDoubleClickToggled(Item)
{
    mp_ui->folderTree->setExpandsOnDoubleClick(!IsSettingYes("download_folders_on_double_click"));
}

// ------------------------------------------------------------------ share

void ShareForm::SetShare(Item i_share)
{
    // One list per tab: a later one would tear down what the user is
    // looking at (the host does not even build it).
    if (m_shareSet)
        return;
    m_shareSet = true;
    m_responded = true;
    if (!i_share.IsConnected("user_share_folder")) {
        mp_ui->messageBrowser->append(QStringLiteral("No files returned. The user is either not sharing any files, or "
                                                     "is sharing all of their files privately."));
        if (eventToolBar)
            eventToolBar->AddEvent(User(), s_browseIcon, mp_ui->messageBrowser, QString(), QStringLiteral("browse"),
                                   false);
        return;
    }
    Tree()->SetShare(i_share);
}

void ShareForm::OnTreeBuilt()
{
    SharePage::OnTreeBuilt();
    mp_ui->messageBrowser->hide();
    if (eventToolBar)
        eventToolBar->AddEvent(User(), s_browseIcon, mp_ui->folderTree, QString(), QStringLiteral("browse"), false);
    if (!m_pendingFolder.isEmpty())
        BrowseToFolder(m_pendingFolder);
}

void ShareForm::BrowseToFolder(QString i_folder)
{
    if (!Tree()->IsBuilt()) {
        m_pendingFolder = i_folder;
        return;
    }
    m_pendingFolder.clear();
    Tree()->SelectFolder(i_folder.toUtf8().toStdString());
}

void ShareForm::Delete()
{
    // A folder still being queued goes on after the tab, in slices (a
    // folder of 100,000 files queued at once held the window for five
    // seconds). Its share stays until the last file is queued, but is no
    // longer the user's: a new tab of his takes a new list.
    Item const l_share = Share();
    bool const l_later = l_share.IsValid() && Tree()->FinishCommandsLater([l_share]() {
        if (sharedFoldersManager)
            sharedFoldersManager->RemoveShare(l_share);
    });
    if (l_later)
        l_share.Disconnect("user");
    else
        Tree()->FinishCommands();
    mp_exportWork->Stop();
    mp_exportFile.reset();
    if (sharedFoldersManager && !l_later)
        sharedFoldersManager->RemoveUserShare(User());
    d["user_share_tab"]->HasItem(Value(this)).Remove();
    Close();
}

void ShareForm::OnConnectionToUserFailed(QString i_user, QString i_connectionType)
{
    if (m_responded || i_user != User() || i_connectionType != QLatin1String("P"))
        return;
    m_responded = true;
    QString const l_page = QStringLiteral("http://%1/porttest.php?port=%2")
                               .arg(QLatin1String(g_webHost))
                               .arg(GetSettingInt("listening_port"));
    mp_ui->messageBrowser->append(
        QStringLiteral("A connection could not be successfully formed to the user. If this is happening to you a "
                       "lot, <a href=\"%1\">Check here</a> to make sure that your port is open.")
            .arg(l_page));
    if (eventToolBar)
        eventToolBar->AddEvent(User(), s_browseIcon, mp_ui->messageBrowser, QString(), QStringLiteral("browse"), false);
}

void ShareForm::OnShareListRefused(QString i_user, QString i_reason)
{
    // A list that came after the one shown changes nothing the tab says.
    if (m_shareSet || i_user != User())
        return;
    m_responded = true;
    mp_ui->messageBrowser->append(QStringLiteral("The file list was refused: it %1.").arg(Isolated(i_reason)).toHtmlEscaped());
    if (eventToolBar)
        eventToolBar->AddEvent(User(), s_browseIcon, mp_ui->messageBrowser, QString(), QStringLiteral("browse"), false);
}

void ShareForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(mp_ui->folderTree);
}

// ------------------------------------------------------------------ tree

void ShareForm::OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*)
{
}

void ShareForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this || Tree()->RunTreeAction(i_action))
        return;
    if (i_action == QLatin1String("save_to_file") && Share().IsValid()) {
        // The user's name as the proposed file, made a plain name first.
        QString const l_name = QFileDialog::getSaveFileName(this, QStringLiteral("Export Share To File"),
                                                            TransferQueueManager::SafeLocalName(User()),
                                                            QStringLiteral("XML files (*.xml)"));
        if (!l_name.isEmpty())
            ExportToFile(l_name);
    }
}

// ------------------------------------------------------------- downloads

void ShareForm::MarkQueued(Item const& i_file)
{
    if (QTreeWidgetItem* lp_row = Tree()->FileRow(i_file))
        lp_row->setIcon(0, QIcon(QStringLiteral(":/icons/download_icon")));
}

// The commands may outlive the tab (Delete): they hold the user's name and
// mark a row only while the tab is there.
void ShareForm::TakeFiles(std::vector<Item> const& i_files)
{
    QPointer<ShareForm> const lp_page(this);
    Tree()->ForEachFile(i_files, [lp_page, l_user = User()](Item const& i_file, int) {
        if (!transferQueueManager)
            return;
        Item const l_entry = transferQueueManager->AddDownload(
            l_user, i_file["user_share_file_name"].AsStdString(),
            i_file["user_share_folder"]["user_share_folder_name"].AsStdString(), i_file["file_size"].AsInt64(), true,
            0);
        if (l_entry.IsValid() && lp_page)
            lp_page->MarkQueued(i_file);
    });
}

void ShareForm::DownloadFolder(Item i_folder, bool i_subfolder)
{
    QPointer<ShareForm> const lp_page(this);
    Tree()->ForEachFileOfTree(i_folder, [lp_page, l_user = User(), i_subfolder](Item const& i_file, int i_depth) {
        if (!transferQueueManager)
            return;
        std::string const l_name = i_file["user_share_file_name"].AsStdString();
        if (transferQueueManager->HasExcludedDownloadExtension(ToQString(l_name)))
            return;
        // The engine names the local folder after the last (level + 1)
        // components of the remote one: the chosen folder's own name, and
        // below it a folder's parent's and its own.
        int const l_level = i_subfolder || i_depth > 0 ? 1 : 0;
        Item const l_entry = transferQueueManager->AddDownload(
            l_user, l_name, i_file["user_share_folder"]["user_share_folder_name"].AsStdString(),
            i_file["file_size"].AsInt64(), false, l_level);
        if (l_entry.IsValid() && lp_page)
            lp_page->MarkQueued(i_file);
    });
}

bool ShareForm::TakesFolderOnDoubleClick() const
{
    return IsSettingYes("download_folders_on_double_click");
}

// ---------------------------------------------------------------- export

void ShareForm::ExportToFile(QString i_fileName)
{
    // A second export replaces one still being written, which leaves its
    // file as it was.
    mp_exportWork->Stop();
    m_exportStack.clear();
    mp_exportFile = std::make_unique<QSaveFile>(i_fileName);
    if (!mp_exportFile->open(QIODevice::WriteOnly)) {
        ShowExportFailure(mp_exportFile->errorString());
        mp_exportFile.reset();
        emit Exported(i_fileName, false);
        return;
    }
    m_writer.setDevice(mp_exportFile.get());
    m_writer.setAutoFormatting(true);
    m_writer.writeStartDocument();
    m_writer.writeStartElement(QStringLiteral("user"));
    m_writer.writeAttribute(QStringLiteral("name"), XmlText(User()));
    m_exportStack.push_back(ExportFrame{nullptr, true, 0, {}, 0});
    mp_exportWork->Start([this]() { return ExportStep(); }, [this]() { EndExport(); });
}

bool ShareForm::ExportStep()
{
    if (m_exportStack.empty())
        return false;
    ExportFrame& l_top = m_exportStack.back();
    QTreeWidgetItem* lp_row = l_top.mp_row;
    // A group of subfolders is no folder of the share.
    bool const l_folder = !lp_row || Tree()->RowFolder(lp_row).IsValid();
    if (!l_top.m_started) {
        l_top.m_started = true;
        if (!l_folder)
            return true;
        m_writer.writeStartElement(QStringLiteral("folder"));
        m_writer.writeAttribute(QStringLiteral("name"), XmlText(lp_row->text(0)));
        return true;
    }
    // Subfolders first, in the tree's order (hidden ones too), then the
    // folder's files in name order.
    int const l_children = lp_row ? lp_row->childCount() : mp_ui->folderTree->topLevelItemCount();
    if (l_top.m_nextChild < l_children) {
        int const l_index = l_top.m_nextChild++;
        QTreeWidgetItem* lp_child = lp_row ? lp_row->child(l_index) : mp_ui->folderTree->topLevelItem(l_index);
        m_exportStack.push_back(ExportFrame{lp_child, false, 0, {}, 0});
        return true;
    }
    if (lp_row && l_top.m_nextFile == 0 && l_top.m_files.empty()) {
        ItemSet const l_files = Tree()->RowFolder(lp_row).GetItems("user_share_file");
        l_top.m_files.assign(l_files.begin(), l_files.end());
    }
    if (l_top.m_nextFile < l_top.m_files.size()) {
        Item const& l_file = l_top.m_files[l_top.m_nextFile++];
        m_writer.writeEmptyElement(QStringLiteral("file"));
        m_writer.writeAttribute(QStringLiteral("name"), XmlText(l_file["user_share_file_name"].AsString()));
        m_writer.writeAttribute(QStringLiteral("size"), CommafyNumber(l_file["file_size"].AsInt64()));
        if (Item const l_mode = l_file["bitrate_mode"]; l_mode.IsValid())
            m_writer.writeAttribute(QStringLiteral("bitrate_mode"), l_mode.AsString());
        if (Item const l_bitrate = l_file["bitrate"]; l_bitrate.IsValid())
            m_writer.writeAttribute(QStringLiteral("bitrate"), QString::number(l_bitrate.AsInt()));
        return true;
    }
    if (l_folder)
        m_writer.writeEndElement();
    m_exportStack.pop_back();
    return !m_exportStack.empty();
}

void ShareForm::EndExport()
{
    QString const l_fileName = mp_exportFile->fileName();
    m_writer.writeEndDocument();
    bool const l_saved = !m_writer.hasError() && mp_exportFile->commit();
    if (!l_saved)
        ShowExportFailure(mp_exportFile->errorString());
    m_writer.setDevice(nullptr);
    mp_exportFile.reset();
    emit Exported(l_fileName, l_saved);
}

void ShareForm::ShowExportFailure(QString const& i_reason)
{
    auto* lp_box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Export Share To File"),
                                   QStringLiteral("The share of %1 could not be saved to %2: %3")
                                       .arg(Isolated(User()), Isolated(QDir::toNativeSeparators(mp_exportFile->fileName())), i_reason),
                                   QMessageBox::Ok, this);
    lp_box->setTextFormat(Qt::PlainText);
    lp_box->setAttribute(Qt::WA_DeleteOnClose);
    lp_box->show();
}
