#include "ui/transfers/UploadForm.h"

#include "ui/transfers/ShareTree.h"

#include "ui_UploadForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/OutsideText.h"
#include "shares/SharedFoldersManager.h"
#include "transfers/TransferQueueManager.h"

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

UploadForm::UploadForm(QString i_user, QWidget* ip_parent) : SharePage(i_user, ip_parent), mp_ui(new Ui_UploadForm)
{
    mp_ui->setupUi(this);
    MakeTree(mp_ui->folderTree, mp_ui->fileList, mp_ui->filterEdit, mp_ui->filterHelpButton, ShareTree::BY_BYTES);
    if (actionBar)
        actionBar->RegisterWidget(this, QStringLiteral("upload_folders"));
    d["upload_share_tab"]->GetItem(Value(this)) += d["user"]->GetItem(Value(i_user));
}

UploadForm::~UploadForm()
{
    delete mp_ui;
}

void UploadForm::SetShare(Item i_share)
{
    Tree()->SetShare(i_share);
}

void UploadForm::Delete()
{
    d["upload_share_tab"]->HasItem(Value(this)).Remove();
    Item const l_share = Share();
    Tree()->FinishCommands();
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveShare(l_share);
    Close();
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
    if (transferQueueManager->AddUpload(User(), l_path, &l_reason).IsNull()) {
        ShowStatusMessage(this, QStringLiteral("Can't upload %1 to %2: %3").arg(Isolated(l_path), Isolated(User()), Isolated(l_reason)));
        return;
    }
    if (QTreeWidgetItem* lp_row = Tree()->FileRow(i_file))
        lp_row->setIcon(0, QIcon(QStringLiteral(":/icons/upload_icon")));
}

void UploadForm::TakeFiles(std::vector<Item> const& i_files)
{
    Tree()->ForEachFile(i_files, [this](Item const& i_file, int) { Upload(i_file); });
}

void UploadForm::TakeFolder(Item const& i_folder)
{
    Tree()->ForEachFileOfTree(i_folder, [this](Item const& i_file, int) { Upload(i_file); });
}
