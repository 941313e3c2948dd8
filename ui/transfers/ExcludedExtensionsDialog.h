#ifndef QUILLMAR_UI_TRANSFERS_EXCLUDEDEXTENSIONSDIALOG_H
#define QUILLMAR_UI_TRANSFERS_EXCLUDEDEXTENSIONSDIALOG_H

#include <QDialog>

// Not built yet: the dialog says so and offers only Close.
class ExcludedExtensionsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ExcludedExtensionsDialog(QWidget* ip_parent = nullptr);
};

#endif
