#ifndef QUILLMAR_UI_USERS_USERNOTEDIALOG_H
#define QUILLMAR_UI_USERS_USERNOTEDIALOG_H

#include <QDialog>

// Not built yet: the dialog says so and offers only Close.
class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UserNoteDialog(QWidget* ip_parent = nullptr);

    // Declares the dialog's store types.
    static void Init();
};

#endif
