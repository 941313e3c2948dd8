#ifndef QUILLMAR_UI_TRANSFERS_DOWNLOADMENUOPTIONS_H
#define QUILLMAR_UI_TRANSFERS_DOWNLOADMENUOPTIONS_H

#include "store/Data.h"

#include <QObject>
#include <QString>

class QMenu;

// The download entries of the downloads tree's context menu: open the
// finished file or its folder, retry, pause, resume or remove the entries,
// the completion alerts for a file, a folder or a user, and the search the
// download came from. Lives on the stack while the menu runs; its slots
// carry out the commands from inside the menu's loop, skipping entries that
// left the store meanwhile.
class DownloadMenuOptions : public QObject
{
    Q_OBJECT

public:
    DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent = nullptr);
    ~DownloadMenuOptions() override;

public slots:
    void OnRemoveDownloads();
    void OnRerunSearch();
    void OnOpenFile();
    void OnOpenFolder();
    void OnSetFileDownloadAlert();
    void OnSetFolderDownloadAlert();
    void OnSetUserDownloadAlert();
    void OnRetryDownloads();
    void OnPauseDownloads();
    void OnResumeDownloads();

private:
    Item FirstEntry() const;

    ItemSet m_entries;
    QString m_searchText;
    Item m_user;
    Item m_remoteFolder;
};

#endif
