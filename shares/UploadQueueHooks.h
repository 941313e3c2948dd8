#ifndef QUILLMAR_SHARES_UPLOADQUEUEHOOKS_H
#define QUILLMAR_SHARES_UPLOADQUEUEHOOKS_H

// What the share answers need of the upload queue. The queue belongs to the
// transfer engine, which is built on this library and fills the hooks when
// it is made; until then each call gives the answer of a client that has no
// upload queue: a free slot, nothing queued, and barring a user only marks
// him "unshared" (there are no uploads of his to deny).

#include <QString>

#include <functional>

struct UploadQueueHooks
{
    std::function<bool()> m_isFreeToUpload;
    std::function<int()> m_queuedUploadCount;
    std::function<void(QString const&)> m_unshareUser;
};

// Replaces the hooks; an empty function brings back its placeholder.
void SetUploadQueueHooks(UploadQueueHooks i_hooks);

bool IsFreeToUpload();
int QueuedUploadCount();
void UnshareUser(QString const& i_user);

#endif
