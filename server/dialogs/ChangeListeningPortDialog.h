#ifndef QUILLMAR_SERVER_DIALOGS_CHANGELISTENINGPORTDIALOG_H
#define QUILLMAR_SERVER_DIALOGS_CHANGELISTENINGPORTDIALOG_H

// Edits the listening port used from the next start ("new_listening_port").
// The obfuscated port is then tried on the port after it, so the port stays
// below 65535; the dialog says which ports are in use now, which may be
// others (a second client on the machine gets ports the system picks).
// Shown without blocking; deletes itself when closed.

#include <QDialog>

class Ui_ChangeListeningPortDialog;

class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    static constexpr int MAX_LISTENING_PORT = 65534;

    // The ports the client listens on now; 0 for none.
    ChangeListeningPortDialog(quint16 i_listening, quint16 i_obfuscated, QWidget* ip_parent = nullptr);
    ~ChangeListeningPortDialog() override;

    // The dialog's note on the ports in use and on those of the next start.
    static QString PortsText(quint16 i_listening, quint16 i_obfuscated);

    Ui_ChangeListeningPortDialog* Form() const { return mp_ui; }

public slots:
    void accept() override;

private:
    Ui_ChangeListeningPortDialog* mp_ui;
};

#endif
