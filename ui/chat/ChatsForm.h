#ifndef QUILLMAR_UI_CHAT_CHATSFORM_H
#define QUILLMAR_UI_CHAT_CHATSFORM_H

#include <QWidget>

// The Chat page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class ChatsForm : public QWidget
{
    Q_OBJECT

public:
    explicit ChatsForm(QWidget* ip_parent = nullptr);

    void Init();
    // PLACEHOLDER until the chat pages land: brings this page (and its note
    // that it is not built) forward.
    void OpenChatForm(QString const& i_user);
};

// The one instance, set by the constructor.
extern ChatsForm* chatsForm;

#endif
