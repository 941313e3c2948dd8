#ifndef QUILLMAR_UI_CHAT_COLORSELECTIONDIALOG_H
#define QUILLMAR_UI_CHAT_COLORSELECTIONDIALOG_H

#include <QDialog>

// Not built yet: the dialog says so and offers only Close.
class ColorSelectionDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ColorSelectionDialog(QWidget* ip_parent = nullptr);
};

#endif
