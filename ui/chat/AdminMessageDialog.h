#ifndef QUILLMAR_UI_CHAT_ADMINMESSAGEDIALOG_H
#define QUILLMAR_UI_CHAT_ADMINMESSAGEDIALOG_H

#include <QDialog>

class Ui_AdminMessageDialog;

// An administrator's message with the local time it arrived; one dialog per
// message, deleted when closed. The message may be markup, shown as such,
// but nothing it names (an image, a style sheet) is ever loaded, from the
// disk, the program's resources or the network.
class AdminMessageDialog : public QDialog
{
    Q_OBJECT

public:
    AdminMessageDialog(QString const& i_text, QWidget* ip_parent = nullptr);
    ~AdminMessageDialog() override;

    Ui_AdminMessageDialog* Form() const { return mp_ui; }

private:
    Ui_AdminMessageDialog* mp_ui;
};

#endif
