#include "server/SearchTypes.h"

#include "server/StoreTypes.h"

#include "store/DataSaver.h"

void DeclareSearchTypes()
{
    EnsureType("search_request", ROOT, false, true);
    EnsureType("search_request_text", INTERMEDIATE, false, true);
    EnsureRelation("search_request", "search_request_text", MANY, ONE, false);

    EnsureType("wish_list_item", ROOT, false, true);
    EnsureRelation("search_request", "wish_list_item", MANY, ONE, false);
    EnsureFlag("wish_list_item", "wish_list_item_enabled");

    // Related searches hang under the text they were asked for; the text
    // owns them, so they go when it goes.
    EnsureType("search_correlation", INTERMEDIATE, true, true);
    EnsureRelation("search_request_text", "search_correlation", ONE, MANY, true);
    EnsureAttribute("search_correlation", "correlation_text");
    EnsureAttribute("search_correlation", "correlation_rank");
}

void RegisterSearchTypeSaving()
{
    if (!dataSaver)
        return;
    dataSaver->AddSavedType("wish_list_item");
    dataSaver->AddSavedType("wish_list_item_enabled");
}
