#ifndef QUILLMAR_UI_TRANSFERS_UPLOADMENUOPTIONS_H
#define QUILLMAR_UI_TRANSFERS_UPLOADMENUOPTIONS_H

#include "store/Data.h"

#include <QObject>

class QMenu;

// The upload entries of the uploads tree's context menu: open the shared
// file or its folder, and remove the uploads. Lives on the stack while the
// menu runs.
class UploadMenuOptions : public QObject
{
    Q_OBJECT

public:
    UploadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent = nullptr);
    ~UploadMenuOptions() override;

public slots:
    void OnRemoveUploads();
    void OnOpenFile();
    void OnOpenFolder();

private:
    ItemSet m_entries;
};

#endif
