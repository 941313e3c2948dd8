#ifndef QUILLMAR_UI_SEARCH_SEARCHSTORETYPES_H
#define QUILLMAR_UI_SEARCH_SEARCHSTORETYPES_H

// The store types of the search pages: the results tabs with their per-tab
// flags, the row bindings of the result trees and of the wish list, the
// remembered filter texts, the saved filters and the search history.
//
// The peer messenger's search types ("search_request", "search_results",
// "search_result", "wish_list_item", ...) and the server's "user" must be
// declared first. Declaring again does nothing, so every page and test can
// call this.
void DeclareSearchPageTypes();

// Registers the saving of the saved ones with the data saver (when one
// exists).
void RegisterSearchPageTypeSaving();

// Links a download entry to the text of the search it came from, so that the
// download can offer to run that search again (and the text is saved with
// the entry).
class Item;
class QString;
void LinkDownloadToSearchText(Item const& i_entry, QString const& i_searchText);

#endif
