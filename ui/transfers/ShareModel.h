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

private:
    void AddFolder(std::string const& i_path);
    void AddFile(FileInfo const& i_file);

    // The entries not entered yet; each leaves the map as it goes in, so
    // the list's memory goes down while the store's goes up.
    FileInfoMap m_entries;
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
// The folder that holds this one, or null for a top-level folder. A
// folder's parent is the folder of the same share whose path is
// GetParentFolder's of its own (none when that is the path itself or not in
// the share); the builder links them, and the rows and every walk follow
// the links, so a path ending in a separator sits in the tree where its
// downloads say it is.
Item ParentFolder(Item const& i_folder);
// The folders this one holds, in the order they were entered.
std::vector<Item> Subfolders(Item const& i_folder);
// The folder of this share whose full path is exactly i_path, or null.
Item FindFolder(Item const& i_share, std::string const& i_path);
// The text of a folder's row: its last component, the separators that end
// the path left out.
QString FolderRowText(std::string i_path);

} // namespace ShareModel

#endif
