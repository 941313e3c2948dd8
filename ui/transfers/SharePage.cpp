#include "ui/transfers/SharePage.h"

#include "ui/search/FilterHelpDialog.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/Globals.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidget>

SharePage::SharePage(QString const& i_user, QWidget* ip_parent) : QWidget(ip_parent), m_user(i_user)
{
}

SharePage::~SharePage()
{
    if (mp_tree && !g_showIsOver)
        mp_tree->Forget();
}

void SharePage::MakeTree(QTreeWidget* ip_folders, QTreeWidget* ip_files, QLineEdit* ip_filter,
                         QPushButton* ip_filterHelp, ShareTree::FolderOrder i_order)
{
    mp_folders = ip_folders;
    mp_files = ip_files;
    mp_tree = new ShareTree(ip_folders, ip_files, ip_filter, ip_filterHelp, i_order, this);
    connect(mp_tree, &ShareTree::Built, this, &SharePage::OnTreeBuilt);
    connect(ip_folders, &QWidget::customContextMenuRequested, this, &SharePage::OnFolderContextMenuRequested);
    connect(ip_files, &QWidget::customContextMenuRequested, this, &SharePage::OnFileContextMenuRequested);
}

void SharePage::Close()
{
    emit Closing();
    // Deleting the rows of 2,000,000 folders with the page held the window
    // for 1.4 s.
    mp_tree->TakeDown([this]() { deleteLater(); });
}

void SharePage::OnTreeBuilt()
{
    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SharePage::OnActionBarTriggered,
                Qt::UniqueConnection);
    connect(mp_folders, &QTreeWidget::itemDoubleClicked, this, &SharePage::OnFolderDoubleClicked,
            Qt::UniqueConnection);
    connect(mp_files, &QTreeWidget::itemDoubleClicked, this, &SharePage::OnFileDoubleClicked, Qt::UniqueConnection);
}

void SharePage::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget == this)
        mp_tree->RunTreeAction(i_action);
}

void SharePage::OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem*)
{
    mp_tree->ShowFiles(ip_current);
}

void SharePage::OnFilterTextChanged(QString i_text)
{
    mp_tree->ApplyFilter(i_text);
}

bool SharePage::FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_filter)
{
    return mp_tree->FilterFolderNode(ip_row, i_filter);
}

void SharePage::OnFilterHelpClicked()
{
    FilterHelpDialog::ShowHelp(this);
}

// ------------------------------------------------------------- commands

void SharePage::TakeSelectedFiles()
{
    TakeFiles(mp_tree->SelectedFiles());
}

void SharePage::TakeSelectedFolders()
{
    for (QTreeWidgetItem* lp_row : mp_folders->selectedItems())
        TakeFolder(mp_tree->RowFolder(lp_row));
}

void SharePage::OnFileDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (Item const l_file = mp_tree->RowFile(ip_item); l_file.IsValid())
        TakeFiles({l_file});
}

void SharePage::OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (TakesFolderOnDoubleClick())
        TakeFolder(mp_tree->RowFolder(ip_item));
}

void SharePage::OnFolderContextMenuRequested(QPoint i_point)
{
    if (mp_folders->itemAt(i_point))
        ShowMenu(mp_folders, i_point, FolderMenuText(), [this]() { TakeSelectedFolders(); });
}

void SharePage::OnFileContextMenuRequested(QPoint i_point)
{
    ShowMenu(mp_files, i_point, FileMenuText(), [this]() { TakeSelectedFiles(); });
}

void SharePage::ShowMenu(QTreeWidget* ip_tree, QPoint const& i_point, QString const& i_text,
                         std::function<void()> i_command)
{
    QMenu l_menu;
    l_menu.addAction(QIcon(QStringLiteral(":/icons/transfer_icon")), i_text, std::move(i_command));
    l_menu.exec(ip_tree->viewport()->mapToGlobal(i_point));
}
