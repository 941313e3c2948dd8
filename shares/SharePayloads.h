#ifndef QUILLMAR_SHARES_SHAREPAYLOADS_H
#define QUILLMAR_SHARES_SHAREPAYLOADS_H

// The compressed answers we give other users: search results (peer message
// 9), the share list (5) and the contents of one folder (37). Each message is
// the u32 code in the clear, then one zlib stream (level 9) of its record,
// with no size field: other clients decode it byte by byte
// (docs/protocol.md, "Peer messages").

#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/SharedFolderInfo.h"

#include <QString>

#include <vector>

namespace SharePayload {

constexpr quint32 SHARE_LIST = 5;
constexpr quint32 SEARCH_RESULTS = 9;
constexpr quint32 FOLDER_CONTENTS = 37;

// A client like ours takes at most this many files from one search answer,
// and inflates at most INFLATE_CAP_DEFAULT bytes of it; a larger answer
// would be thrown away whole.
constexpr quint32 MAX_SEARCH_RESULT_FILES = 100000;
constexpr quint64 MAX_SEARCH_RESULT_BYTES = INFLATE_CAP_DEFAULT;

struct SearchReply
{
    QString m_user; // our own name
    quint32 m_token = 0;
    std::vector<FileInfo> m_files; // full paths, in the order they go out
    bool m_freeSlot = false;
    quint32 m_uploadSpeed = 0;
    quint32 m_queuedUploads = 0;
};

// Bytes of the record of a reply without files, and of one file in it.
quint64 SearchReplyFixedSize(QString const& i_user);
quint64 WireSize(FileInfo const& i_file);

// The whole message; empty when the record cannot be compressed (only a
// record of gigabytes cannot).
MemStream SearchResults(SearchReply const& i_reply);
MemStream ShareList(FileInfoMap const& i_share);
MemStream FolderContents(quint32 i_token, QString const& i_folder, SharedFolderInfo const& i_files);

} // namespace SharePayload

#endif
