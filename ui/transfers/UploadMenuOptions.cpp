#include "ui/transfers/UploadMenuOptions.h"

#include "ui/transfers/TransferRows.h"

#include "transfers/TransferQueueManager.h"
#include "ui/transfers/TransfersForm.h"

#include <QIcon>
#include <QMenu>

using namespace TransferRows;

UploadMenuOptions::UploadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent)
    : QObject(ip_parent)
{
    if (i_entries.empty())
        return;
    m_entries = i_entries;
    AddOpenCommands(ip_menu, this, m_entries.size() == 1);
    ip_menu->addSeparator();
    ip_menu->addAction(QIcon(":/icons/transfer_icon"), m_entries.size() < 2 ? "Remove upload" : "Remove uploads", this,
                       &UploadMenuOptions::OnRemoveUploads);
}

UploadMenuOptions::~UploadMenuOptions() = default;

void UploadMenuOptions::OnOpenFile()
{
    if (Item const l_entry = m_entries; l_entry.IsValid())
        OpenLocalPath(UploadFilePath(l_entry), "an upload's file");
}

void UploadMenuOptions::OnOpenFolder()
{
    if (Item const l_entry = m_entries; l_entry.IsValid())
        OpenLocalPath(UploadFolderPath(l_entry), "an upload's folder");
}

void UploadMenuOptions::OnRemoveUploads()
{
    // In slices, as the Delete key removes them: thousands at once held the
    // window, their rows going one by one.
    if (transfersForm) {
        transfersForm->RemoveUploads(m_entries);
        return;
    }
    for (Item const& l_entry : m_entries)
        if (l_entry.IsValid() && transferQueueManager)
            transferQueueManager->RemoveUpload(l_entry);
}
