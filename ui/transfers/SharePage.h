#ifndef QUILLMAR_UI_TRANSFERS_SHAREPAGE_H
#define QUILLMAR_UI_TRANSFERS_SHAREPAGE_H

// What the two kinds of tab of the Browse page (ShareForm.h, UploadForm.h)
// have in common as pages: the user they are for, their ShareTree
// (ShareTree.h), the slots their forms connect to it, and the wiring that
// waits until its rows are built.

#include "store/Data.h"
#include "ui/transfers/ShareTree.h"

#include <QPoint>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class FilterParser;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class SharePage : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    QString User() const { return m_user; }
    ShareTree* Tree() const { return mp_tree; }
    Item Share() const { return mp_tree->Share(); }
    QTreeWidget* FolderTree() const { return mp_folders; }
    QTreeWidget* FileList() const { return mp_files; }
    bool FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_filter);

signals:
    // The page's tab closed; the page goes once its rows have.
    void Closing();

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();
    // The tree's own actions; a page with more handles them first.
    virtual void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFileDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    // Each menu has the one entry that takes the selected rows.
    void OnFolderContextMenuRequested(QPoint i_point);
    void OnFileContextMenuRequested(QPoint i_point);

protected:
    SharePage(QString const& i_user, QWidget* ip_parent);
    // Forgets the rows' bindings while the trees still stand.
    ~SharePage() override;

    // Once the form is set up: the tree over its widgets.
    void MakeTree(QTreeWidget* ip_folders, QTreeWidget* ip_files, QLineEdit* ip_filter, QPushButton* ip_filterHelp,
                  ShareTree::FolderOrder i_order);
    // The rows are in: the tool-bar actions and double clicks reach the page.
    virtual void OnTreeBuilt();

    // What the page does with chosen files (a double click, the file menu)
    // and with a chosen folder's tree (the folder menu, a double click when
    // it takes folders), and the texts of the two menus' entries.
    virtual void TakeFiles(std::vector<Item> const& i_files) = 0;
    virtual void TakeFolder(Item const& i_folder) = 0;
    virtual bool TakesFolderOnDoubleClick() const { return true; }
    virtual QString FileMenuText() const = 0;
    virtual QString FolderMenuText() const = 0;
    // The tab closed: Closing, then the rows go in slices, then the page.
    void Close();
    void TakeSelectedFiles();
    void TakeSelectedFolders();

private:
    // A context menu of one entry, at a point of one of the trees.
    void ShowMenu(QTreeWidget* ip_tree, QPoint const& i_point, QString const& i_text, std::function<void()> i_command);

    QString m_user;
    ShareTree* mp_tree = nullptr;
    QTreeWidget* mp_folders = nullptr;
    QTreeWidget* mp_files = nullptr;
};

#endif
