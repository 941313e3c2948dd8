#ifndef QUILLMAR_UI_CHAT_CREATEROOMDIALOG_H
#define QUILLMAR_UI_CHAT_CREATEROOMDIALOG_H

#include <QDialog>

class Ui_CreateRoomDialog;

// Names a room to create or enter, public or private, and sends the join
// request. One exists at a time (createRoomDialog); closing it only hides
// it, with what was typed, and a request sent deletes it.
class CreateRoomDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CreateRoomDialog(QWidget* ip_parent = nullptr);
    ~CreateRoomDialog() override;

    Ui_CreateRoomDialog* Form() const { return mp_ui; }

public slots:
    void OnButtonClicked();

private:
    Ui_CreateRoomDialog* mp_ui;
};

extern CreateRoomDialog* createRoomDialog;

#endif
