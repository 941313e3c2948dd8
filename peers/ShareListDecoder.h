#ifndef QUILLMAR_PEERS_SHARELISTDECODER_H
#define QUILLMAR_PEERS_SHARELISTDECODER_H

// A share list (peer message 5) read while its zlib stream inflates, a
// piece at a time. Every bound is checked as soon as the field it bounds
// has been inflated, so that a list past one ends there and then, not after
// its whole stream; and a step is small, so that the window's thread can
// read a list of a million files in slices (PeerMessenger does). Nothing
// but the list read so far and a window of the inflated bytes is held.
// Wire format and bounds: docs/protocol.md, "Share list".

#include "peers/PeerCodec.h"

#include <QByteArray>

#include <vector>

namespace PeerCodec {

class ShareListDecoder
{
public:
    // The zlib stream of the record from i_from on; with i_inflated, the
    // record itself.
    ShareListDecoder(QByteArray i_payload, int i_from, bool i_inflated = false);
    ShareListDecoder(ShareListDecoder const&) = delete;
    ShareListDecoder& operator=(ShareListDecoder const&) = delete;

    // One piece of work: a folder's path, a file or an attribute name read,
    // or at most INFLATE_PIECE bytes inflated. False once the list is whole
    // or has failed.
    bool Step();
    // The remaining steps at once.
    Status Finish();

    Status const& Result() const { return m_status; }
    // The list, or what was read of it before it failed.
    ShareList& List() { return m_list; }
    quint64 InflatedBytes() const { return m_inflated; }

    static constexpr quint64 INFLATE_PIECE = 64 * 1024;

private:
    enum class Stage { FolderCount, Folder, FileCount, File, NameCount, Name, Done };
    enum class Unit { Read, NeedsMore, Failed };
    struct Cursor;

    Unit ReadUnit();
    Unit ReadFolder(Cursor& io_at);
    Unit ReadFile(Cursor& io_at);
    Unit ReadName(Cursor& io_at);
    // A string of at most i_limit bytes; a longer one fails with the reason
    // i_tooLong gives for its length.
    Unit ReadBytes(Cursor& io_at, quint32 i_limit, std::string& o_bytes, Status (*ip_tooLong)(quint32));
    // Inflates (or copies) the next piece behind what is left unread.
    void Fill();
    void Fail(Status const& i_status);

    QByteArray m_payload;
    int m_from;
    bool m_inflatedInput;
    ZlibStream mp_zlib;
    bool m_streamEnded = false;
    quint64 m_inflated = 0;
    std::vector<char> m_window; // inflated and unread, from m_at on
    std::size_t m_at = 0;

    Stage m_stage = Stage::FolderCount;
    quint32 m_left = 0;    // folders, files of the folder, or names, by the stage
    quint32 m_folders = 0; // folders left after the one being read
    quint64 m_entries = 0;
    std::set<FileInfo>* mp_files = nullptr;
    ShareList m_list;
    Status m_status;
};

} // namespace PeerCodec

#endif
