#ifndef QUILLMAR_UI_WIDGETS_PLACEHOLDER_H
#define QUILLMAR_UI_WIDGETS_PLACEHOLDER_H

#include <QString>

class QDialog;
class QWidget;

// A page or dialog that is not built yet says so, so that an empty page is
// never taken for a broken one. The page's note carries the object name
// "notBuiltYetLabel"; a dialog offers only Close.
void ShowPageNotBuiltYet(QWidget* ip_page, QString const& i_note);
void ShowDialogNotBuiltYet(QDialog* ip_dialog, QString const& i_title);

#endif
