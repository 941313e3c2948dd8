#include "shares/UploadQueueHooks.h"

#include "store/Data.h"

namespace {

UploadQueueHooks& Hooks()
{
    static UploadQueueHooks s_hooks;
    return s_hooks;
}

} // namespace

void SetUploadQueueHooks(UploadQueueHooks i_hooks)
{
    Hooks() = std::move(i_hooks);
}

bool IsFreeToUpload()
{
    return Hooks().m_isFreeToUpload ? Hooks().m_isFreeToUpload() : true;
}

int QueuedUploadCount()
{
    return Hooks().m_queuedUploadCount ? Hooks().m_queuedUploadCount() : 0;
}

void UnshareUser(QString const& i_user)
{
    if (Hooks().m_unshareUser) {
        Hooks().m_unshareUser(i_user);
        return;
    }
    d.GetType("user")->GetItem(Value(i_user)) += d.GetType("unshared")->GetGlobalNullItem();
}

QString PartialDownloadFolder()
{
    return Hooks().m_partialDownloadFolder ? Hooks().m_partialDownloadFolder() : QString();
}
