#ifndef QUILLMAR_UI_CHAT_CHATSFORM_H
#define QUILLMAR_UI_CHAT_CHATSFORM_H

// The Chat page: one tab per private conversation (ChatForm) and, beside
// them, the log viewers (ChatLogForm) those pages open. It keeps no list of
// its own: a user's page is found through the user's "user_chat_widget"
// item. The main window hands it incoming private messages and "Message
// User"; other pages open a conversation through OpenChatForm.

#include "store/Data.h"

#include <QString>
#include <QWidget>

class ChatForm;
class Ui_ChatsForm;

class ChatsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit ChatsForm(QWidget* ip_parent = nullptr);
    ~ChatsForm() override;

    // Follows the partners' online state for the tab icons.
    void Init();

    // The page of the user, made (with its tab, without focus) when there is
    // none, and the user tracked. Null for an empty name: no page is opened.
    ChatForm* GetChatForm(QString const& i_user);
    // The same, then the page is shown and focused.
    void OpenChatForm(QString const& i_user);
    // An incoming private message, shown on the user's page (made when there
    // is none). Other people choose how many users write: past
    // MAX_CHAT_PAGES open pages, a message from yet another user opens no
    // page; it is written to his log (when private logs are on) and said in
    // the diagnostic log, so a flood of names cannot bury the window in tabs.
    void AddIncomingChat(QString const& i_user, QString const& i_text);
    static constexpr int MAX_CHAT_PAGES = 250;

    Ui_ChatsForm* Form() const { return mp_ui; }

public slots:
    void OnChatTabClosed(int i_index);

private:
    void OnUserOnline(Item i_user);
    void OnUserOffline(Item i_user);
    void SetTabIcon(Item const& i_user, QString const& i_icon);

    Ui_ChatsForm* mp_ui;
};

extern ChatsForm* chatsForm;

#endif
