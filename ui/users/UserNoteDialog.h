#ifndef QUILLMAR_UI_USERS_USERNOTEDIALOG_H
#define QUILLMAR_UI_USERS_USERNOTEDIALOG_H

// The editor of one user's note: at most one per user (GetDialog finds the
// open one through its "user_note_dialog" item). The note is plain text,
// kept as typed but for the white space at its ends; an empty one removes
// the user's note. Opened from the user menu and the room member list.

#include <QDialog>
#include <QString>

class Ui_UserNoteDialog;

class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    // Declares "user_note_dialog". Run once at start-up, before any dialog.
    static void Init();
    // The user's dialog, made when he has none open (the caller shows it).
    static UserNoteDialog* GetDialog(QString const& i_user);

    explicit UserNoteDialog(QString const& i_user, QWidget* ip_parent = nullptr);
    ~UserNoteDialog() override;

    Ui_UserNoteDialog* Form() const { return mp_ui; }

public slots:
    void OnSaveNote();
    void OnClearNote();

private:
    QString m_user;
    Ui_UserNoteDialog* mp_ui;
};

#endif
