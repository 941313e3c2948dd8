#ifndef QUILLMAR_SERVER_SEARCHTYPES_H
#define QUILLMAR_SERVER_SEARCHTYPES_H

// The store types that the search senders and the related-search answers
// write: "search_request" (key: token in decimal), "search_request_text",
// "wish_list_item", "wish_list_item_enabled", "search_correlation",
// "correlation_text" and "correlation_rank". The peer messenger calls this in
// its constructor (it owns these types alongside its result types); calling
// it again does nothing.
void DeclareSearchTypes();

// Registers the saving of the saved ones with the data saver. Kept apart so
// that it can be called once the data saver exists.
void RegisterSearchTypeSaving();

#endif
