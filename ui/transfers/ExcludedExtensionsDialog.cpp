#include "ui/transfers/ExcludedExtensionsDialog.h"

#include "ui_ExcludedExtensionsDialog.h"

#include <QMenu>

ExcludedExtensionsDialog* excludedExtensionsDialog = nullptr;

ExcludedExtensionsDialog::ExcludedExtensionsDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ExcludedExtensionsDialog)
{
    excludedExtensionsDialog = this;
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->newExtensionButton, &QPushButton::clicked, this,
            &ExcludedExtensionsDialog::OnNewExtensionButtonClicked);
    Type* lp_type = d["excluded_download_extension"];
    lp_type->AddNewItemEventHandler(
        new EventHandler<ExcludedExtensionsDialog, Item>(this, &ExcludedExtensionsDialog::OnExtensionAdded));
    for (Item const& l_extension : lp_type->GetItems())
        mp_ui->extensionListWidget->addItem(l_extension.AsString());
    connect(mp_ui->extensionListWidget, &QListWidget::customContextMenuRequested, this,
            &ExcludedExtensionsDialog::OnExtensionListContextMenuRequested);
}

ExcludedExtensionsDialog::~ExcludedExtensionsDialog()
{
    delete mp_ui;
    if (excludedExtensionsDialog == this)
        excludedExtensionsDialog = nullptr;
}

void ExcludedExtensionsDialog::OnExtensionAdded(Item i_item)
{
    mp_ui->extensionListWidget->addItem(i_item.AsString());
}

void ExcludedExtensionsDialog::OnNewExtensionButtonClicked()
{
    QString const l_text = mp_ui->newExtensionEdit->text().trimmed();
    mp_ui->newExtensionEdit->clear();
    // The row comes from the new-item event; an entry already listed makes
    // no item and so no second row.
    if (!l_text.isEmpty())
        d["excluded_download_extension"]->GetItem(Value(l_text));
}

void ExcludedExtensionsDialog::OnExtensionListContextMenuRequested(QPoint i_point)
{
    if (!mp_ui->extensionListWidget->itemAt(i_point))
        return;
    QMenu l_menu;
    l_menu.addAction(tr("Remove"), this, &ExcludedExtensionsDialog::OnRemoveExcludedExtension);
    l_menu.exec(mp_ui->extensionListWidget->mapToGlobal(i_point));
}

void ExcludedExtensionsDialog::OnRemoveExcludedExtension()
{
    for (QListWidgetItem* lp_row : mp_ui->extensionListWidget->selectedItems()) {
        d["excluded_download_extension"]->HasItem(Value(lp_row->text())).Remove();
        delete lp_row;
    }
}
