#ifndef QUILLMAR_UI_TRANSFERS_SHAREMODEL_H
#define QUILLMAR_UI_TRANSFERS_SHAREMODEL_H

// The received-share model: one share list (another user's, or our own
// shares offered to a user) as store items ("user_share", its
// "user_share_folder" items with their names and parent/child link items,
// their "user_share_file" items with names, sizes and audio attributes; the
// types are the shares manager's). UserShareBuilder enters a decoded list;
// the helpers below are the walks the browse and upload tabs
// (ShareTree.h, ShareForm.h, UploadForm.h) make over it.

#include "store/Data.h"
#include "store/FileInfo.h"

#include <QString>

#include <string>
#include <vector>

class UserShareBuilder
{
public:
    // Takes the list's entries out of io_share, which is left empty: a
    // share list of 200,000 files is not copied. The share item is made at
    // once (linked to no user).
    explicit UserShareBuilder(FileInfoMap& io_share);

    Item Share() const { return m_share; }
    // Enters one folder or one file. False once the whole list is in, or
    // when the share item has been removed meanwhile (its tab closed).
    bool Step();

    // Levels a folder may be above its nearest named ancestor and still
    // be placed under it.
    static constexpr std::size_t MAX_MISSING_LEVELS = 64;
    // Levels made for the folders a list left out: one for each entry of
    // the list and this many more, so that a hostile list of deep paths
    // cannot make many more folders than it names.
    static constexpr std::size_t MADE_LEVELS_BEYOND_ENTRIES = 4096;

private:
    void AddFolder(std::string const& i_path);
    Item NewFolder(std::string const& i_path);
    void LinkParent(Item const& i_folder, Item const& i_parent);
    void AddFile(FileInfo const& i_file);

    // The entries not entered yet; each leaves the map as it goes in, so
    // the list's memory goes down while the store's goes up.
    FileInfoMap m_entries;
    std::size_t m_madeLevelsLeft = 0;
    Item m_share;
    Item m_folder; // the entered folder of the map's first entry
    Type* mp_folderType;
    Type* mp_folderNameType;
    Type* mp_fileType;
    Type* mp_fileNameType;
    Type* mp_sizeType;
    Type* mp_parentType;
    Type* mp_childType;
    Type* mp_bitrateType;
    Type* mp_lengthType;
    Type* mp_modeType;
};

namespace ShareModel {

// A folder's full path as the peer sent it (bytes and text).
std::string FolderPath(Item const& i_folder);
// The folder that holds this one, or null for a top-level folder. Only
// "\\" separates the levels of a remote path ("/" is a character of a
// name, as the downloads' local names take it), and a run of separators
// counts as one. A folder's parent is the nearest folder above it that the
// list names; the builder makes the levels between that the list left out
// (up to MAX_MISSING_LEVELS, and MADE_LEVELS_BEYOND_ENTRIES), so
// that the rows and every walk, which follow the links, put the folder
// where its downloads say it is. A folder with no named ancestor within
// reach is a top-level folder.
Item ParentFolder(Item const& i_folder);
// The folders this one holds, in the order they were entered.
std::vector<Item> Subfolders(Item const& i_folder);
// The folder of this share whose full path is exactly i_path, or null.
Item FindFolder(Item const& i_share, std::string const& i_path);
// The length of the path of the level above the first i_length bytes of a
// remote path (separators that end either left out), or npos at the top.
std::size_t ParentPathLength(std::string const& i_path, std::size_t i_length);
// The text of a folder's row: its last component, the separators that end
// the path left out.
QString FolderRowText(std::string i_path);

} // namespace ShareModel

#endif
