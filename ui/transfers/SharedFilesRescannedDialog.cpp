#include "ui/transfers/SharedFilesRescannedDialog.h"

#include "ui_SharedFilesRescannedDialog.h"

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_SharedFilesRescannedDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(mp_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

SharedFilesRescannedDialog::~SharedFilesRescannedDialog()
{
    delete mp_ui;
}

void SharedFilesRescannedDialog::Append(QString const& i_line)
{
    mp_ui->plainTextEdit->appendPlainText(i_line);
}
