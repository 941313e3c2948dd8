#ifndef QUILLMAR_SHARES_UPLOADQUEUEHOOKS_H
#define QUILLMAR_SHARES_UPLOADQUEUEHOOKS_H

// What the share answers need of the upload queue, and the scans of where
// downloads are received. Both belong to the transfer engine, which is built
// on this library and fills the hooks when it is made; until then each call
// gives the answer of a client that has no transfers: a free slot, nothing
// queued, barring a user only marks him "unshared" (there are no uploads of
// his to deny), and no folder of partial downloads.

#include <QString>

#include <functional>

struct UploadQueueHooks
{
    std::function<bool()> m_isFreeToUpload;
    std::function<int()> m_queuedUploadCount;
    std::function<void(QString const&)> m_unshareUser;
    std::function<QString()> m_partialDownloadFolder;
};

// Replaces the hooks; an empty function brings back its placeholder.
void SetUploadQueueHooks(UploadQueueHooks i_hooks);

bool IsFreeToUpload();
int QueuedUploadCount();
void UnshareUser(QString const& i_user);
// The folder of partial downloads, which no scan enters; empty for none.
QString PartialDownloadFolder();

#endif
