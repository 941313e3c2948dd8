#ifndef QUILLMAR_UI_TRANSFERS_SHAREDFILESRESCANNEDDIALOG_H
#define QUILLMAR_UI_TRANSFERS_SHAREDFILESRESCANNEDDIALOG_H

#include <QDialog>

class Ui_SharedFilesRescannedDialog;

// The report of a rescan: lines of plain text and an OK button. It deletes
// itself when closed.
class SharedFilesRescannedDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SharedFilesRescannedDialog(QWidget* ip_parent = nullptr);
    ~SharedFilesRescannedDialog() override;

    void Append(QString const& i_line);
    Ui_SharedFilesRescannedDialog* Form() const { return mp_ui; }

private:
    Ui_SharedFilesRescannedDialog* mp_ui;
};

#endif
