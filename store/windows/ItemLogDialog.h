#ifndef QUILLMAR_STORE_WINDOWS_ITEMLOGDIALOG_H
#define QUILLMAR_STORE_WINDOWS_ITEMLOGDIALOG_H

// The log entries kept on one item: an "All" tab, then one tab per log
// area. Deletes itself when closed.

#include "store/Data.h"

#include <QDialog>

class QTabWidget;

class ItemLogDialog : public QDialog
{
    Q_OBJECT

public:
    ItemLogDialog(Item i_item, QWidget* ip_parent = nullptr);

    QTabWidget* Tabs() const { return mp_tabs; }

private:
    QTabWidget* mp_tabs;
};

#endif
