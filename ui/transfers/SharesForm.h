#ifndef QUILLMAR_UI_TRANSFERS_SHARESFORM_H
#define QUILLMAR_UI_TRANSFERS_SHARESFORM_H

// The Browse page: a tab per user whose share is being browsed (ShareForm)
// and a tab per user to whom our own files are offered (UploadForm). It
// opens the tabs (the user menu and the search results' "Browse Folder"
// call OpenShareBrowse and OpenUploadBrowse), enters every share list into
// the store as the received-share model (ShareModel.h) and tears a tab
// down with its items when it is closed. Design notes:
// docs/share-browser.md.

#include "store/Data.h"
#include "store/FileInfo.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class ShareForm;
class SharePage;
class UserShareBuilder;
class TabWidget;
class Ui_SharesForm;
class UploadForm;

class SharesForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Declares the tabs' and rows' store types and the two tool-bar sets,
    // and follows the peer messenger's share lists. Once, before the saved
    // data is loaded, after the shares manager and the peer messenger.
    void Init();

    // The user's browse tab, focused; a new one asks the user for his share
    // list.
    ShareForm* OpenShareBrowse(QString i_user);
    // The user's upload tab, focused; a new one offers the own shares he may
    // see, as they are now.
    UploadForm* OpenUploadBrowse(QString i_user);
    // A share list as a new "user_share" item (linked to no user), entered
    // at once. The list's entries are taken: io_share is left empty.
    Item CreateUserShareData(FileInfoMap& io_share, AttributeTranslationTable& i_translationTable);

    TabWidget* Tabs() const;
    // Share lists still being entered into the store, and closed tabs
    // still taking their rows down.
    int PendingShareCount() const { return m_pendingShares; }

public slots:
    void OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable);
    void OnTabCloseRequested(int i_tabIndex);
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);

private:
    // A share list on its way into the store: read (our own index, a folder
    // per step) into m_list, then entered by the builder.
    struct ShareLoad
    {
        std::function<bool()> m_read;
        FileInfoMap m_list;
        std::unique_ptr<UserShareBuilder> mp_builder;
    };
    // Reads and enters the list in slices and hands the share to i_show;
    // when the page goes first, what was entered goes too.
    void LoadShare(std::shared_ptr<ShareLoad> ip_load, SharePage* ip_page, std::function<void(Item)> i_show);

    Ui_SharesForm* mp_ui;
    // What follows the tabs' pages going; it goes first when the page does.
    QObject* mp_pageWatch;
    bool m_initialised = false;
    int m_pendingShares = 0;
};

// The one instance, set by the constructor.
extern SharesForm* sharesForm;

#endif
