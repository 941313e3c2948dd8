#ifndef QUILLMAR_UI_CHAT_CHATFORM_H
#define QUILLMAR_UI_CHAT_CHATFORM_H

// One private conversation: a tab of the Chat page (ChatsForm) with the
// chat view (ChatView, which shows, times and logs the lines) above the
// input line. The page adds what is private to it: sending what the user
// types, the partner's away and back notices, the empty-share warning sent
// to the partner, a notification for every ordinary line, and the partner's
// log viewer (ChatLogForm) as a tab beside it. Made only by
// ChatsForm::GetChatForm; found again through its "user_chat_widget" item.

#include "store/Data.h"

#include <QString>
#include <QUrl>
#include <QWidget>

class QTabWidget;
class Ui_ChatForm;

class ChatForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    ChatForm(QString const& i_user, QTabWidget* ip_tabs, QWidget* ip_parent = nullptr);
    ~ChatForm() override;

    // One line from i_user (the partner's name, or the own name for the own
    // lines), shown and logged; an ordinary line raises the notification.
    void AddChat(QString const& i_user, QString const& i_text);
    void AddStatusMessage(QString const& i_text);
    // Focuses the input line, making every enclosing tab show the page.
    void Focus();

    QString User() const { return m_user; }
    Ui_ChatForm* Form() const { return mp_ui; }

    // The tray balloon of a line: "[sender] " and the first 100 characters,
    // with " ..." when there were more.
    static QString BalloonText(QString const& i_sender, QString const& i_text);

public slots:
    void OnEnter();
    void OnActionTriggered(QWidget* ip_widget, QString i_action);
    void OnContextMenuRequested(QPoint i_point);
    void OnURLClicked(QUrl i_url);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnUserAway(Item i_user);
    void OnUserAvailable(Item i_user);

    Ui_ChatForm* mp_ui;
    QString m_user;
    QTabWidget* mp_tabWidget;
};

#endif
