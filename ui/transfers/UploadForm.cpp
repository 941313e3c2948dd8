#include "ui/transfers/UploadForm.h"

#include "ui/transfers/ShareTree.h"

#include "ui_UploadForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/Globals.h"
#include "shares/SharedFoldersManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui/search/FilterHelpDialog.h"

#include <QIcon>
#include <QMainWindow>
#include <QStatusBar>

namespace {

// The status bar of the window that holds the page; none for a page that
// no main window holds.
void ShowStatusMessage(QWidget* ip_page, QString const& i_text)
{
    for (QWidget* lp_widget = ip_page; lp_widget; lp_widget = lp_widget->parentWidget())
        if (auto* lp_window = qobject_cast<QMainWindow*>(lp_widget)) {
            lp_window->statusBar()->showMessage(i_text, 10000);
            return;
        }
}

} // namespace

UploadForm::UploadForm(QString i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_UploadForm), m_user(i_user)
{
    mp_ui->setupUi(this);
    mp_tree = new ShareTree(mp_ui->folderTree, mp_ui->fileList, mp_ui->filterEdit, mp_ui->filterHelpButton,
                            ShareTree::BY_BYTES, this);
    connect(mp_tree, &ShareTree::Built, this, &UploadForm::OnTreeBuilt);
    if (actionBar)
        actionBar->RegisterWidget(this, QStringLiteral("upload_folders"));
    d["upload_share_tab"]->GetItem(Value(this)) += d["user"]->GetItem(Value(i_user));
    connect(mp_ui->folderTree, &QWidget::customContextMenuRequested, this, &UploadForm::OnFolderContextMenuRequested);
    connect(mp_ui->fileList, &QWidget::customContextMenuRequested, this, &UploadForm::OnFileContextMenuRequested);
}

UploadForm::~UploadForm()
{
    if (!g_showIsOver)
        mp_tree->Forget();
    delete mp_ui;
}

Item UploadForm::Share() const
{
    return mp_tree->Share();
}

QTreeWidget* UploadForm::FolderTree() const
{
    return mp_ui->folderTree;
}

QTreeWidget* UploadForm::FileList() const
{
    return mp_ui->fileList;
}

void UploadForm::SetShare(Item i_share)
{
    mp_tree->SetShare(i_share);
}

void UploadForm::OnTreeBuilt()
{
    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &UploadForm::OnActionBarTriggered,
                Qt::UniqueConnection);
    connect(mp_ui->folderTree, &QTreeWidget::itemDoubleClicked, this, &UploadForm::OnFolderDoubleClicked,
            Qt::UniqueConnection);
    connect(mp_ui->fileList, &QTreeWidget::itemDoubleClicked, this, &UploadForm::OnFileDoubleClicked,
            Qt::UniqueConnection);
}

void UploadForm::Delete()
{
    d["upload_share_tab"]->HasItem(Value(this)).Remove();
    Item const l_share = Share();
    mp_tree->Forget();
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveShare(l_share);
    deleteLater();
}

// ------------------------------------------------------------------ tree

void UploadForm::OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem*)
{
    mp_tree->ShowFiles(ip_current);
}

void UploadForm::OnFilterTextChanged(QString i_text)
{
    mp_tree->ApplyFilter(i_text);
}

bool UploadForm::FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_filter)
{
    return mp_tree->FilterFolderNode(ip_row, i_filter);
}

void UploadForm::OnFilterHelpClicked()
{
    FilterHelpDialog::ShowHelp(this);
}

void UploadForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget == this)
        mp_tree->RunTreeAction(i_action);
}

// --------------------------------------------------------------- uploads

void UploadForm::Upload(Item const& i_file)
{
    if (!transferQueueManager)
        return;
    // The folder's path is our local one with backslashes, as a peer would
    // name the file.
    QString const l_path = i_file["user_share_folder"]["user_share_folder_name"].AsString() + QLatin1Char('\\') +
                           i_file["user_share_file_name"].AsString();
    QString l_reason;
    if (transferQueueManager->AddUpload(m_user, l_path, &l_reason).IsNull()) {
        ShowStatusMessage(this, QStringLiteral("Can't upload %1 to %2: %3").arg(l_path, m_user, l_reason));
        return;
    }
    if (QTreeWidgetItem* lp_row = mp_tree->FileRow(i_file))
        lp_row->setIcon(0, QIcon(QStringLiteral(":/icons/upload_icon")));
}

void UploadForm::UploadFiles(std::vector<Item> const& i_files)
{
    mp_tree->ForEachFile(i_files, [this](Item const& i_file, int) { Upload(i_file); });
}

void UploadForm::UploadFolder(Item i_folder)
{
    mp_tree->ForEachFileOfTree(i_folder, [this](Item const& i_file, int) { Upload(i_file); });
}

void UploadForm::OnUploadFile()
{
    UploadFiles(mp_tree->SelectedFiles());
}

void UploadForm::OnFileDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (Item const l_file = mp_tree->RowFile(ip_item); l_file.IsValid())
        UploadFiles({l_file});
}

void UploadForm::OnUploadFolder()
{
    for (QTreeWidgetItem* lp_row : mp_ui->folderTree->selectedItems())
        UploadFolder(mp_tree->RowFolder(lp_row));
}

void UploadForm::OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    UploadFolder(mp_tree->RowFolder(ip_item));
}

void UploadForm::OnFolderContextMenuRequested(QPoint i_point)
{
    if (mp_ui->folderTree->itemAt(i_point))
        mp_tree->ShowMenu(mp_ui->folderTree, i_point, QStringLiteral("Upload Folder"), [this]() { OnUploadFolder(); });
}

void UploadForm::OnFileContextMenuRequested(QPoint i_point)
{
    mp_tree->ShowMenu(mp_ui->fileList, i_point, QStringLiteral("Upload File(s)"), [this]() { OnUploadFile(); });
}
