#ifndef QUILLMAR_UI_SEARCH_FILTERHELPDIALOG_H
#define QUILLMAR_UI_SEARCH_FILTERHELPDIALOG_H

#include <QDialog>

class Ui_FilterHelpDialog;

// The filter language's help, shown without blocking. At most one exists
// (filterHelpDialog); it deletes itself when closed and dies with the page
// that opened it.
class FilterHelpDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FilterHelpDialog(QWidget* ip_parent = nullptr);
    ~FilterHelpDialog() override;

    // What every "Filter Help" button does: opens the one dialog (the page
    // becomes its parent) or leaves the open one as it is, and shows it.
    static void ShowHelp(QWidget* ip_page);

private:
    Ui_FilterHelpDialog* mp_ui;
};

extern FilterHelpDialog* filterHelpDialog;

#endif
