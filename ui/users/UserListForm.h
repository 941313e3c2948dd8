#ifndef QUILLMAR_UI_USERS_USERLISTFORM_H
#define QUILLMAR_UI_USERS_USERLISTFORM_H

#include <QWidget>

// The Users page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class UserListForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);

    void Init();
};

#endif
