#include "ui/search/SearchStoreTypes.h"

#include "server/StoreTypes.h"
#include "store/DataSaver.h"

#include <QString>

namespace {

struct Relation
{
    char const* mp_type;
    char const* mp_other;
    OneOrMany m_typePerOther; // how many items of the type one other item holds
    OneOrMany m_otherPerType; // how many other items one item of the type holds
    bool m_owning;
};

Relation const s_relations[] = {
    {"search_results_widget", "search_request", ONE, MANY, false},
    {"search_results_widget", "wish_list_item", ONE, ONE, false},
    {"search_results_widget", "search_results_widget_alerted", MANY, ONE, false},
    {"search_results_widget", "expand_folders", MANY, ONE, false},
    {"search_results_widget", "expand_users", MANY, ONE, false},
    // A tab owns its user rows and a user row its folder rows, so that the
    // collection removes the rows' items once the tab's item is gone.
    {"search_results_widget", "search_results_user_node", ONE, MANY, true},
    {"search_results_user_node", "user", MANY, ONE, false},
    {"search_results_user_node", "search_results_folder_node", ONE, MANY, true},
    {"search_results_folder_node", "search_result_file_folder", MANY, ONE, false},
    {"search_result_node", "search_result", ONE, ONE, false},
    {"search_result_node", "search_results_folder_node", MANY, ONE, false},
    {"wish_list_item", "wish_list_node", ONE, ONE, false},
    {"wish_list_node", "wish_list_node_checkbox", ONE, ONE, false},
    {"wish_list_item", "wish_list_item_filter_text", MANY, ONE, false},
    {"search_record", "search_time", MANY, ONE, false},
};

char const* const s_savedTypes[] = {"wish_list_item_filter_text", "saved_filter", "search_record", "search_time"};

// The transfer engine declares its download entries; the link to a search
// text is made once both exist.
void RelateSearchTextToDownloads()
{
    if (d.HasType("download_entry"))
        EnsureRelation("search_request_text", "download_entry", ONE, MANY, false);
}

} // namespace

void DeclareSearchPageTypes()
{
    struct Declaration
    {
        char const* mp_name;
        Primacy m_primacy;
        bool m_isNull;
    };
    static Declaration const s_types[] = {
        {"search_results_widget", ROOT, false},
        {"search_results_widget_alerted", LEAF, true},
        {"expand_folders", LEAF, false},
        {"expand_users", LEAF, false},
        {"search_results_user_node", INTERMEDIATE, false},
        {"search_results_folder_node", INTERMEDIATE, false},
        {"search_result_node", INTERMEDIATE, false},
        {"wish_list_node", ROOT, false},
        {"wish_list_node_checkbox", ROOT, false},
        {"wish_list_item_filter_text", LEAF, false},
        {"saved_filter", ROOT, false},
        {"search_record", ROOT, false},
        {"search_time", LEAF, false},
    };
    for (Declaration const& l_type : s_types)
        EnsureType(l_type.mp_name, l_type.m_primacy, l_type.m_isNull, true);
    for (Relation const& l_relation : s_relations)
        EnsureRelation(l_relation.mp_type, l_relation.mp_other, l_relation.m_typePerOther, l_relation.m_otherPerType,
                       l_relation.m_owning);
    RelateSearchTextToDownloads();
}

void RegisterSearchPageTypeSaving()
{
    if (!dataSaver)
        return;
    for (char const* lp_type : s_savedTypes)
        dataSaver->AddSavedType(lp_type);
    dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
}

void LinkDownloadToSearchText(Item const& i_entry, QString const& i_searchText)
{
    if (i_entry.IsNull() || i_searchText.isEmpty())
        return;
    RelateSearchTextToDownloads();
    i_entry.Connect(d["search_request_text"]->GetItem(Value(i_searchText)));
}
