#ifndef QUILLMAR_SERVER_DIALOGS_CHANGELISTENINGPORTDIALOG_H
#define QUILLMAR_SERVER_DIALOGS_CHANGELISTENINGPORTDIALOG_H

// Edits the listening port used from the next start ("new_listening_port").
// The obfuscated port is the port plus 1, so the port stays below 65535.
// Shown without blocking; deletes itself when closed.

#include <QDialog>

class Ui_ChangeListeningPortDialog;

class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    static constexpr int MAX_LISTENING_PORT = 65534;

    explicit ChangeListeningPortDialog(QWidget* ip_parent = nullptr);
    ~ChangeListeningPortDialog() override;

    Ui_ChangeListeningPortDialog* Form() const { return mp_ui; }

public slots:
    void accept() override;

private:
    Ui_ChangeListeningPortDialog* mp_ui;
};

#endif
