#ifndef QUILLMAR_UI_CHAT_COLORSELECTIONDIALOG_H
#define QUILLMAR_UI_CHAT_COLORSELECTIONDIALOG_H

// "Select Colors": every entry of the colour table (ui/widgets/ColorTable.h)
// by its label, with a swatch; "Change" picks a new colour for the selected
// entry and links the entry to it at once (no OK or Cancel). The dialog
// keeps no copy of the colours: every read goes to the store, and the parts
// that use a colour read it there at their next line, mark or repaint. Each
// press of the options button makes another one; it deletes itself when
// closed.

#include <QDialog>
#include <QString>

class Ui_ColorSelectionDialog;

class ColorSelectionDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ColorSelectionDialog(QWidget* ip_parent = nullptr);
    ~ColorSelectionDialog() override;

    Ui_ColorSelectionDialog* Form() const { return mp_ui; }

public slots:
    void OnColorSelectionChanged(QString i_colorText);
    void OnChangeColorClicked();

private:
    Ui_ColorSelectionDialog* mp_ui;
};

#endif
