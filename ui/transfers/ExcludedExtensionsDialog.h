#ifndef QUILLMAR_UI_TRANSFERS_EXCLUDEDEXTENSIONSDIALOG_H
#define QUILLMAR_UI_TRANSFERS_EXCLUDEDEXTENSIONSDIALOG_H

#include "store/Data.h"

#include <QDialog>

class Ui_ExcludedExtensionsDialog;

// The editor of the file-name endings that folder downloads skip (the
// "excluded_download_extension" items). One at a time, published in
// excludedExtensionsDialog; it deletes itself when closed. Every addition and
// removal is final at once.
class ExcludedExtensionsDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit ExcludedExtensionsDialog(QWidget* ip_parent = nullptr);
    ~ExcludedExtensionsDialog() override;

    Ui_ExcludedExtensionsDialog* Form() const { return mp_ui; }

public slots:
    void OnNewExtensionButtonClicked();
    void OnExtensionListContextMenuRequested(QPoint i_point);
    void OnRemoveExcludedExtension();

private:
    void OnExtensionAdded(Item i_item);

    Ui_ExcludedExtensionsDialog* mp_ui;
};

extern ExcludedExtensionsDialog* excludedExtensionsDialog;

#endif
