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

#include <QByteArray>
#include <QString>

#include <atomic>
#include <string>
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

// How much of a record is compressed between two looks at the stop flag:
// about 20 ms of level 9 on names.
constexpr quint64 COMPRESS_SLICE = 256 * 1024;

struct SearchReply
{
    QString m_user; // our own name
    quint32 m_token = 0;
    std::vector<FileInfo> m_files; // full paths, in the order they go out
    bool m_freeSlot = false;
    quint32 m_uploadSpeed = 0;
    quint32 m_queuedUploads = 0;
};

// The share list as read from the store, before it is put in order: folders
// as they were met, each file already in its wire form. Only plain bytes, so
// that a worker thread can order and compress it without the store, and far
// cheaper to fill than a FileInfoMap of sets.
class ShareListDraft
{
public:
    // Room for about this many folders and files, made before the reading
    // begins: growing a table of a million files copies it whole, in one
    // step of the reading (the wire forms go in chunks for the same reason).
    void Reserve(std::size_t i_folders, std::size_t i_files);
    void AddFolder(std::string i_remotePath);
    // A file of the folder added last.
    void AddFile(FileInfo const& i_file);
    quint64 Bytes() const { return m_bytes; }
    // The record of message 5: folders in byte order of path, files in
    // FileInfo order; of equal paths, and of equal names and sizes in one
    // folder, the first added is kept, as a FileInfoMap would keep it.
    MemStream Record() const;

private:
    struct Folder
    {
        std::string m_path;
        std::size_t m_firstFile;
        std::size_t m_fileCount;
    };
    struct File
    {
        quint32 m_chunk;
        quint64 m_offset; // of its wire form in its chunk
        quint64 m_length;
        quint32 m_nameLength;
        qint64 m_size;
    };
    std::string_view Name(File const& i_file) const;

    std::vector<Folder> m_folders;
    std::vector<File> m_files;
    // The files' wire forms, back to back in chunks of about CHUNK_BYTES.
    std::vector<MemStream> m_chunks;
    quint64 m_bytes = 0;
    static constexpr quint64 CHUNK_BYTES = 1 << 20;
};

// Bytes of the record of a reply without files, and of one file in it.
quint64 SearchReplyFixedSize(QString const& i_user);
quint64 WireSize(FileInfo const& i_file);

// The code, then the record compressed at level 9, the same bytes as one
// call of zlib's compress2. The record is fed in slices of i_slice bytes;
// when *ip_stop is set between two of them the result is empty, as it is
// when the record cannot be compressed (only one of gigabytes cannot).
QByteArray Compressed(quint32 i_code, MemStream const& i_record, std::atomic<bool> const* ip_stop = nullptr,
                      quint64 i_slice = COMPRESS_SLICE);

// The records; Compressed() makes them messages.
MemStream SearchResultsRecord(SearchReply const& i_reply);
MemStream FolderContentsRecord(quint32 i_token, QString const& i_folder, SharedFolderInfo const& i_files);
// The whole share-list message, made on the calling thread.
MemStream ShareList(ShareListDraft const& i_share);

} // namespace SharePayload

#endif
