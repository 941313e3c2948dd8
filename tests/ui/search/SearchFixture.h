#ifndef QUILLMAR_TESTS_UI_SEARCH_SEARCHFIXTURE_H
#define QUILLMAR_TESTS_UI_SEARCH_SEARCHFIXTURE_H

// A search page over a fresh store, with the managers it talks to, and
// answers made the way the peer messenger stores them.

#include "../PageManagers.h"

#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui_SearchForm.h"

#include <QComboBox>
#include <QTreeWidget>

#include <vector>

struct ResultFile
{
    char const* mp_folder;
    char const* mp_name;
    qint64 m_size = 1000;
    int m_bitrate = -1; // -1: none
    char const* mp_mode = nullptr;
};

class SearchFixture : public PageManagers
{
protected:
    void StartPage(bool i_oldStyle = false)
    {
        StartManagers();
        SetSwitch("use_old_style_search_results", i_oldStyle);
        mp_transfers->NoData(); // ".ini" is excluded
        mp_page = std::make_unique<SearchForm>();
        mp_page->resize(900, 500);
        mp_page->Init();
        mp_page->DataLoaded();
    }

    void StopPage()
    {
        mp_page.reset();
        StopManagers();
    }

    // A search of everyone, its tab opened by the page; m_token is its token.
    SearchResultsForm* Search(QString const& i_text)
    {
        m_token = mp_server->FileSearch(i_text, QString());
        return mp_page->CreateSearchForm(m_token, i_text, SEARCH_EVERYONE);
    }

    // One user's answer to the search of the token, stored as the messenger
    // stores it, then handed to the page.
    Item Answer(unsigned int i_token, char const* ip_user, std::vector<ResultFile> const& i_files, bool i_free = true,
                qint64 i_speed = 2048, int i_queue = 0)
    {
        Item const l_results = d["search_results"]->NewItem();
        d["search_request"]->HasItem(Value(i_token)) += l_results;
        l_results += d["user"]->GetItem(Value(ip_user));
        SetAttribute(l_results, "search_results_user_available", Value(i_free ? "yes" : "no"));
        SetAttribute(l_results, "search_results_user_speed", Value(static_cast<long long>(i_speed)));
        SetAttribute(l_results, "search_results_uploads_in_queue", Value(i_queue));
        for (ResultFile const& l_file : i_files) {
            Item const l_result = d["search_result"]->NewItem();
            l_results += l_result;
            SetAttribute(l_result, "search_result_file_folder", Value(l_file.mp_folder));
            SetAttribute(l_result, "search_result_file_name", Value(l_file.mp_name));
            SetAttribute(l_result, "file_size", Value(static_cast<long long>(l_file.m_size)));
            if (l_file.m_bitrate >= 0)
                SetAttribute(l_result, "bitrate", Value(l_file.m_bitrate));
            if (l_file.mp_mode)
                SetAttribute(l_result, "bitrate_mode", Value(l_file.mp_mode));
        }
        mp_page->OnUserSearchResults(l_results);
        return l_results;
    }

    // The non-empty texts of a column down the shown rows (neither they nor
    // a row above them hidden), depth first.
    static QStringList Column(QTreeWidget* ip_tree, int i_column)
    {
        QStringList l_texts;
        for (QTreeWidgetItemIterator l_row(ip_tree, QTreeWidgetItemIterator::NotHidden); *l_row; ++l_row) {
            bool l_shown = true;
            for (QTreeWidgetItem* lp_row = *l_row; lp_row; lp_row = lp_row->parent())
                l_shown = l_shown && !lp_row->isHidden();
            if (l_shown && !(*l_row)->text(i_column).isEmpty())
                l_texts << (*l_row)->text(i_column);
        }
        return l_texts;
    }

    static QStringList Entries(QComboBox* ip_box)
    {
        QStringList l_texts;
        for (int l_index = 0; l_index < ip_box->count(); ++l_index)
            l_texts << ip_box->itemText(l_index);
        return l_texts;
    }

    static std::size_t Count(char const* ip_type) { return d[ip_type]->GetItemCount(); }

    // The queued downloads in the order they were asked for: "user|folder|file|size|single|search text".
    static QStringList Downloads()
    {
        QStringList l_entries;
        for (Item const& l_entry : d["download_entry"]->GetItems())
            l_entries << QStringList({l_entry["user"].AsString(), l_entry["remote_folder"].AsString(),
                                      l_entry["file_name"].AsString(), l_entry["file_size"].AsString(),
                                      l_entry.IsConnected("single_download") ? "single" : "",
                                      l_entry["search_request_text"].AsString()})
                             .join('|');
        return l_entries;
    }

    std::unique_ptr<SearchForm> mp_page;
    unsigned int m_token = 0;
};

#endif
