#ifndef QUILLMAR_UI_TRANSFERS_ADDSHAREDFOLDERDIALOG_H
#define QUILLMAR_UI_TRANSFERS_ADDSHAREDFOLDERDIALOG_H

#include "store/Data.h"

#include <QDialog>

// Not built yet: the dialog says so and offers only Close.
class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddSharedFolderDialog(Item const& i_folder, QWidget* ip_parent = nullptr);
};

#endif
