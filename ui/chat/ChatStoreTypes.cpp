#include "ui/chat/ChatStoreTypes.h"

#include "server/StoreTypes.h"

void DeclareChatStoreTypes()
{
    EnsureType("user_chat_widget", ROOT, false, true);
    EnsureRelation("user", "user_chat_widget", ONE, ONE, false);
    EnsureType("chat_log_form", ROOT, false, true);
    EnsureRelation("chat_log_form", "room", ONE, ONE, false);
    EnsureRelation("chat_log_form", "user", ONE, ONE, false);
}
