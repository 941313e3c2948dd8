#ifndef QUILLMAR_UI_CHAT_CHATSTORETYPES_H
#define QUILLMAR_UI_CHAT_CHATSTORETYPES_H

// The store types through which the chat pages find their open windows
// again (none is saved): "user_chat_widget", a user's open private chat page
// (ChatForm), and "chat_log_form", the open log viewer (ChatLogForm) of a
// room or a user; each is keyed by the window's address and linked one to
// one to its "user" or "room". Declared by the main window after the server
// link's types, before the pages start; declaring them again does nothing.
void DeclareChatStoreTypes();

#endif
