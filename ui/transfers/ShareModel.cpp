#include "ui/transfers/ShareModel.h"

#include "store/Utilities.h"

#include <utility>

UserShareBuilder::UserShareBuilder(FileInfoMap& io_share)
    : mp_folderType(d["user_share_folder"]),
      mp_folderNameType(d["user_share_folder_name"]),
      mp_fileType(d["user_share_file"]),
      mp_fileNameType(d["user_share_file_name"]),
      mp_sizeType(d["file_size"]),
      mp_parentType(d["user_share_folder_parent"]),
      mp_childType(d["user_share_folder_child"]),
      mp_bitrateType(d["bitrate"]),
      mp_lengthType(d["length_seconds"]),
      mp_modeType(d["bitrate_mode"])
{
    m_entries.swap(io_share);
    m_madeLevelsLeft = m_entries.size() + MADE_LEVELS_BEYOND_ENTRIES;
    m_share = d["user_share"]->NewItem();
}

bool UserShareBuilder::Step()
{
    if (m_share.IsNull()) {
        m_entries.clear();
        return false;
    }
    if (m_entries.empty())
        return false;
    auto const l_entry = m_entries.begin();
    if (m_folder.IsNull()) {
        AddFolder(l_entry->first);
    } else if (!l_entry->second.empty()) {
        AddFile(*l_entry->second.begin());
        l_entry->second.erase(l_entry->second.begin());
    } else {
        m_entries.erase(l_entry);
        m_folder = Item();
    }
    return !m_entries.empty();
}

void UserShareBuilder::AddFolder(std::string const& i_path)
{
    m_folder = NewFolder(i_path);
    // The map yields a folder's ancestors before it (they are its
    // prefixes), so the nearest one the list names is in already. The
    // levels between, which the list left out, are made: the folder then
    // sits where its downloads put it, and goes with its ancestor's. A
    // folder with no named ancestor within reach is a top-level one.
    std::vector<std::size_t> l_missing;
    Item l_ancestor;
    for (std::size_t l_length = ShareModel::ParentPathLength(i_path, i_path.size());
         l_length != std::string::npos && l_missing.size() < MAX_MISSING_LEVELS;
         l_length = ShareModel::ParentPathLength(i_path, l_length)) {
        l_ancestor = ShareModel::FindFolder(m_share, i_path.substr(0, l_length));
        if (l_ancestor.IsValid())
            break;
        l_missing.push_back(l_length);
    }
    if (l_ancestor.IsNull() || l_missing.size() > m_madeLevelsLeft)
        return;
    m_madeLevelsLeft -= l_missing.size();
    for (auto l_length = l_missing.rbegin(); l_length != l_missing.rend(); ++l_length) {
        Item const l_level = NewFolder(i_path.substr(0, *l_length));
        LinkParent(l_level, l_ancestor);
        l_ancestor = l_level;
    }
    LinkParent(m_folder, l_ancestor);
}

Item UserShareBuilder::NewFolder(std::string const& i_path)
{
    Item const l_folder = mp_folderType->NewItem();
    m_share += l_folder;
    l_folder += mp_folderNameType->GetItem(Value(i_path));
    return l_folder;
}

void UserShareBuilder::LinkParent(Item const& i_folder, Item const& i_parent)
{
    Item const l_up = mp_parentType->NewItem();
    Item const l_down = mp_childType->NewItem();
    i_folder += l_up;
    i_parent += l_down;
    l_up += l_down;
}

void UserShareBuilder::AddFile(FileInfo const& i_file)
{
    Item const l_file = mp_fileType->NewItem();
    m_folder += l_file;
    l_file += mp_fileNameType->GetItem(Value(i_file.m_name));
    l_file += mp_sizeType->GetItem(Value(static_cast<long long>(i_file.m_size)));
    // One item of each attribute: a later pair of the same code replaces
    // the link of an earlier one.
    for (auto const& l_pair : i_file.m_attributes.m_attributes) {
        int const l_value = static_cast<int>(l_pair.second);
        if (l_pair.first == 0)
            l_file += mp_bitrateType->GetItem(Value(l_value));
        else if (l_pair.first == 1)
            l_file += mp_lengthType->GetItem(Value(l_value));
        else if (l_pair.first == 2)
            l_file += mp_modeType->GetItem(Value(l_value != 0 ? "vbr" : "cbr"));
    }
}

namespace ShareModel {

std::string FolderPath(Item const& i_folder)
{
    return i_folder["user_share_folder_name"].AsStdString();
}

Item ParentFolder(Item const& i_folder)
{
    return i_folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
}

std::vector<Item> Subfolders(Item const& i_folder)
{
    std::vector<Item> l_folders;
    for (Item const& l_down : i_folder.GetItems("user_share_folder_child"))
        if (Item const l_folder = l_down["user_share_folder_parent"]["user_share_folder"]; l_folder.IsValid())
            l_folders.push_back(l_folder);
    return l_folders;
}

Item FindFolder(Item const& i_share, std::string const& i_path)
{
    Item const l_name = d["user_share_folder_name"]->HasItem(Value(i_path));
    return l_name.IsNull() || i_share.IsNull() ? Item() : d.GetItem(l_name, i_share, "user_share_folder");
}

std::size_t ParentPathLength(std::string const& i_path, std::size_t i_length)
{
    while (i_length > 0 && i_path[i_length - 1] == '\\')
        --i_length;
    if (i_length == 0)
        return std::string::npos;
    std::size_t l_end = i_path.rfind('\\', i_length - 1);
    if (l_end == std::string::npos)
        return l_end;
    while (l_end > 0 && i_path[l_end - 1] == '\\')
        --l_end;
    return l_end == 0 ? std::string::npos : l_end;
}

QString FolderRowText(std::string i_path)
{
    while (!i_path.empty() && i_path.back() == '\\')
        i_path.pop_back();
    std::size_t const l_separator = i_path.rfind('\\');
    return ToQString(l_separator == std::string::npos ? i_path : i_path.substr(l_separator + 1));
}

} // namespace ShareModel
