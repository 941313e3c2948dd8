#ifndef QUILLMAR_UI_SEARCH_SEARCHRESULTMENUOPTIONS_H
#define QUILLMAR_UI_SEARCH_SEARCHRESULTMENUOPTIONS_H

#include <QObject>
#include <QString>

#include <functional>

class QMenu;
class QTreeWidgetItem;

// The download and browse entries of a results tree's context menu, for the
// row under the mouse: "Download File(s)" for file rows, "Download
// Folder(s)" and "Browse Folder" for file and folder rows, nothing for user
// rows. Lives on the stack while the menu runs; its slots carry out the
// commands from inside the menu's loop.
class SearchResultMenuOptions : public QObject
{
    Q_OBJECT

public:
    SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_item, QObject* ip_parent = nullptr);
    ~SearchResultMenuOptions() override;

    // What "Browse Folder" does: the share browser, a page of a library
    // above this one, opens the user's tab at the folder. Until it is set
    // the entry does nothing.
    typedef std::function<void(QString const& i_user, QString const& i_folder)> BrowseFolderHook;
    static void SetBrowseFolderHook(BrowseFolderHook i_hook);

    QString SearchText() const { return m_searchText; }
    QString User() const { return m_user; }
    QString Folder() const { return m_folder; }

public slots:
    void OnDownloadFile();
    void OnDownloadFolder();
    void OnBrowseFolder();

private:
    QTreeWidgetItem* mp_item;
    QString m_searchText;
    QString m_user;
    QString m_folder;
};

#endif
