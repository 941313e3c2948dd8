#include "ui/widgets/Placeholder.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

void ShowPageNotBuiltYet(QWidget* ip_page, QString const& i_note)
{
    QVBoxLayout* lp_layout = new QVBoxLayout(ip_page);
    QLabel* lp_note = new QLabel(i_note, ip_page);
    lp_note->setObjectName(QStringLiteral("notBuiltYetLabel"));
    lp_note->setAlignment(Qt::AlignCenter);
    lp_layout->addWidget(lp_note);
}

void ShowDialogNotBuiltYet(QDialog* ip_dialog, QString const& i_title)
{
    ip_dialog->setWindowTitle(i_title);
    QVBoxLayout* lp_layout = new QVBoxLayout(ip_dialog);
    lp_layout->addWidget(new QLabel(QDialog::tr("This dialog is not built yet."), ip_dialog));
    QDialogButtonBox* lp_buttons = new QDialogButtonBox(QDialogButtonBox::Close, ip_dialog);
    QObject::connect(lp_buttons, &QDialogButtonBox::rejected, ip_dialog, &QDialog::reject);
    lp_layout->addWidget(lp_buttons);
}
