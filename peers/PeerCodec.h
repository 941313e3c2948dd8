#ifndef QUILLMAR_PEERS_PEERCODEC_H
#define QUILLMAR_PEERS_PEERCODEC_H

// The messages of messaging connections as plain records: one encoder per
// message we send, one decoder per message we read. Nothing here touches the
// store, a signal or a socket, so that every parser can be tried on its own
// bytes; and every bound on what a peer can make us hold or pass on is
// checked here, before a handler sees the record. Wire formats:
// docs/protocol.md, "Peer messages".

#include "store/FileInfo.h"
#include "store/MemStream.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

struct z_stream_s;

namespace PeerCodec {

enum Code : quint32 {
    SHARED_FILES_REQUEST = 4,
    SHARED_FILES = 5,
    SEARCH_RESULTS = 9,
    USER_INFO_REQUEST = 15,
    USER_INFO_REPLY = 16,
    FOLDER_CONTENTS_REQUEST = 36,
    FOLDER_CONTENTS = 37,
    TRANSFER_REQUEST = 40,
    TRANSFER_RESPONSE = 41,
    QUEUE_UPLOAD = 43,
    UPLOAD_PLACE_IN_LINE = 44,
    UPLOAD_FAILED = 46,
    UPLOAD_DENIED = 50,
    UPLOAD_PLACE_IN_LINE_REQUEST = 51,
    QUEUE_DOWNLOAD = 60
};

// The messages that count only from a sender known to be who he says: the
// transfer messages, which act on what we share or fetch; the requests
// whose answers go to the user the sender names (and would fill our queue
// for him if the sender is someone else); and the share list, which decides
// whether that user shares anything.
bool NeedsKnownSender(quint32 i_code);

// A decoded share list costs some 200 bytes per entry, ten times its wire
// size, so the inflate cap alone would let a list of tiny entries take
// gigabytes. Folders count as entries too: an empty folder costs as much.
constexpr quint64 MAX_SHARE_LIST_ENTRIES = 2000000;
// Files in one search answer; each becomes store items and a page row.
constexpr quint32 MAX_ANSWER_FILES = 100000;
// Files of one folder in a folder-contents answer.
constexpr quint32 MAX_FOLDER_FILES = 0x20000;
// Names in a share list's attribute table (a client names a handful of
// codes). They count as entries as well.
constexpr quint32 MAX_ATTRIBUTE_NAMES = 256;
// The longest name a share list may hold (a folder of a path, a file, an
// extension, an attribute), in bytes. File systems keep at most 255 bytes
// (ext4, XFS, Btrfs, ZFS) or 255 UTF-16 units (NTFS, HFS+, APFS) in a name,
// and 255 units take at most 765 bytes of UTF-8; a peer's own code page
// takes a byte a character. 1,024 leaves room for what we have not seen.
constexpr quint32 MAX_NAME_BYTES = 1024;
// The deepest folder a share list may hold: a path's separators plus one.
// A peer reads its files through their whole paths, and the longest path
// the usual systems take is Linux's 4,096 bytes (2,048 levels of one
// letter); macOS takes 1,024 bytes, Windows 260 units unless a program
// asks for more. Deeper trees cost the tree's view more than they show.
constexpr quint32 MAX_FOLDER_DEPTH = 2048;

enum class Fault {
    None,
    Malformed, // cut short, a count beyond its bytes or bounds: the connection goes
    Refused    // well formed, but a value we will not pass on: the message goes
};

struct Status
{
    Fault m_fault = Fault::None;
    QString m_reason;
    bool Ok() const { return m_fault == Fault::None; }
};

struct ShareList // 5
{
    FileInfoMap m_folders;
    AttributeTranslationTable m_table;
};

struct SearchAnswer // 9
{
    QString m_user; // as the peer names itself; only the connection's user counts
    quint32 m_token = 0;
    std::vector<FileInfo> m_files; // full remote paths
    bool m_freeSlot = false;
    quint32 m_speed = 0;
    quint32 m_queued = 0;
};

// What tells an answer's files from another's whatever their order: the
// number of files and the sums of two independent 64-bit hashes of each
// file's path and size. Answers that hold the same files have the same
// digest; two that differ share one by chance about once in 2^128.
class FilesDigest
{
public:
    void Add(FileInfo const& i_file);

private:
    friend class FilesDigestOrder;
    quint64 m_count = 0;
    quint64 m_first = 0;
    quint64 m_second = 0;
};

// The one order of digests, and their only comparison: each use is
// counted in the counter it was given, so that what checking an answer
// against earlier ones costs is read where the checking is done.
class FilesDigestOrder
{
public:
    explicit FilesDigestOrder(quint64& io_comparisons) : mp_comparisons(&io_comparisons) {}
    bool operator()(FilesDigest const& i_a, FilesDigest const& i_b) const
    {
        ++*mp_comparisons;
        return std::tie(i_a.m_count, i_a.m_first, i_a.m_second) < std::tie(i_b.m_count, i_b.m_first, i_b.m_second);
    }

private:
    quint64* mp_comparisons;
};

struct UserInfo // 16
{
    QString m_description;
    bool m_hasPicture = false;
    QByteArray m_picture;
    int m_uploadSlots = 0;
    int m_queuedUploads = 0;
    bool m_freeSlot = false;
};

struct FolderRequest // 36
{
    quint32 m_token = 0;
    QString m_folder;
};

struct FolderContents // 37
{
    quint32 m_token = 0;
    std::string m_folder;  // as we asked for it
    FileInfoMap m_folders; // the folder (normally one) and its files
};

struct TransferRequest // 40
{
    int m_direction = 0;
    quint32 m_token = 0;
    std::string m_file;
    qint64 m_size = 0; // meaningful for direction 1 only
};

struct TransferResponse // 41
{
    quint32 m_token = 0;
    bool m_allowed = false;
    bool m_hasSize = false;
    qint64 m_size = 0;
    QString m_reason; // when refused
};

struct FileRequest // 43 and 51
{
    QString m_file;
};

struct PlaceInLine // 44
{
    std::string m_file;
    int m_place = 0;
};

struct UploadFailed // 46
{
    std::string m_file;
};

struct UploadDenied // 50
{
    std::string m_file;
    QString m_reason;
};

struct QueueDownload // 60
{
    std::string m_file;
    qint64 m_size = 0;
};

// Requests without a payload (4, 15) and unknown codes decode to monostate.
typedef std::variant<std::monostate, ShareList, SearchAnswer, UserInfo, FolderRequest, FolderContents,
                     TransferRequest, TransferResponse, FileRequest, PlaceInLine, UploadFailed, UploadDenied,
                     QueueDownload>
    Record;

struct Message
{
    quint32 m_code = 0;
    Record m_record;
};

// ---- decoders: io_in is read from its read position to its end.

// A whole message: the code, then its record.
Status Decode(MemStream& io_in, Message& o_message);
// The code of a message without reading it; false when it has none.
bool PeekCode(QByteArray const& i_message, quint32& o_code);

// The compressed payloads (5, 9, 37): inflate within the cap, then read.
// A share list is read as it inflates (ShareListDecoder.h), and its bounds
// end it as soon as it passes one.
Status DecodeShareList(MemStream& io_in, ShareList& o_list);
Status DecodeSearchAnswer(MemStream& io_in, SearchAnswer& o_answer);
Status DecodeFolderContents(MemStream& io_in, FolderContents& o_contents);
// The search token of a compressed search answer (9), from the start of its
// record alone: whether the answer is wanted is known before the rest is
// inflated or read.
Status PeekSearchAnswerToken(MemStream const& i_in, quint32& o_token);
// Their inflated records.
Status ReadShareList(MemStream& io_in, ShareList& o_list);
Status ReadSearchAnswer(MemStream& io_in, SearchAnswer& o_answer);
Status ReadFolderContents(MemStream& io_in, FolderContents& o_contents);

Status DecodeUserInfo(MemStream& io_in, UserInfo& o_info);
Status DecodeFolderRequest(MemStream& io_in, FolderRequest& o_request);
Status DecodeTransferRequest(MemStream& io_in, TransferRequest& o_request);
Status DecodeTransferResponse(MemStream& io_in, TransferResponse& o_response);
Status DecodeFileRequest(MemStream& io_in, FileRequest& o_request);
Status DecodePlaceInLine(MemStream& io_in, PlaceInLine& o_place);
Status DecodeUploadFailed(MemStream& io_in, UploadFailed& o_failed);
Status DecodeUploadDenied(MemStream& io_in, UploadDenied& o_denied);
Status DecodeQueueDownload(MemStream& io_in, QueueDownload& o_queue);

// A peer's zlib stream, inflated a piece at a time (InflatePiece), so that a
// step is small and a cap is checked as the bytes come; it ends with the
// pointer.
struct ZlibEnd
{
    void operator()(z_stream_s* ip_zlib) const;
};
using ZlibStream = std::unique_ptr<z_stream_s, ZlibEnd>;
// The i_bytes at ip_in, which outlive it; null when zlib cannot be set up.
ZlibStream StartInflating(char* ip_in, std::size_t i_bytes);
enum class Piece { More, End, CutShort, Broken };
// Appends at most i_room (> 0) inflated bytes to io_out: as many as there
// are with i_fill, else those of the first call that gives any (a call may
// only take in input: the header, a block's tables).
Piece InflatePiece(z_stream_s& io_zlib, std::vector<char>& io_out, std::size_t i_room, bool i_fill);

// A search answer read a step at a time: its zlib stream inflated a piece
// at a time, then its files read a batch at a time, so that the window's
// thread takes an answer of MAX_ANSWER_FILES files in slices. Of the files
// only the first i_keep are kept; the others are read all the same (an
// answer is malformed wherever it breaks) and counted in the digest, which
// covers every file. ReadSearchAnswer is this reader run through at once.
class SearchAnswerReader
{
public:
    // The answer's zlib stream from i_from on; with i_inflated, its record.
    SearchAnswerReader(QByteArray i_payload, int i_from, std::size_t i_keep, bool i_inflated = false);
    SearchAnswerReader(SearchAnswerReader const&) = delete;
    SearchAnswerReader& operator=(SearchAnswerReader const&) = delete;

    // One piece inflated or one batch of files read; false once the
    // answer is whole or has failed.
    bool Step();
    Status Finish();
    Status const& Result() const { return m_status; }
    // The answer, with the files kept.
    SearchAnswer& Answer() { return m_answer; }
    // Files the answer holds, kept or not.
    quint32 FileCount() const { return m_count; }
    FilesDigest const& Digest() const { return m_digest; }

    static constexpr quint64 INFLATE_PIECE = 256 * 1024;
    static constexpr quint32 FILES_PER_STEP = 256;

private:
    enum class Stage { Inflate, Head, Files, Tail, Done };
    void Inflate();
    void ReadHead();
    void ReadFiles();
    void Fail(Status const& i_status);

    QByteArray m_payload;
    std::size_t m_keep;
    ZlibStream mp_zlib;
    MemStream m_record;
    Stage m_stage = Stage::Inflate;
    quint32 m_count = 0;
    quint32 m_read = 0;
    FilesDigest m_digest;
    SearchAnswer m_answer;
    Status m_status;
};

// ---- encoders: the complete message, code first.

MemStream EncodeRequest(quint32 i_code); // 4 and 15
MemStream EncodeTransferRequest(quint32 i_token, QString const& i_file, qint64 i_size);
MemStream EncodeTransferAccepted(quint32 i_token, bool i_withSize, qint64 i_size);
MemStream EncodeTransferDenied(quint32 i_token, QString const& i_reason);
MemStream EncodeQueueUpload(std::string const& i_file);
MemStream EncodePlaceInLine(QString const& i_file, int i_place);
MemStream EncodeUploadDenied(QString const& i_file, QString const& i_reason);
MemStream EncodeQueueDownload(QString const& i_file, qint64 i_size);
// 16: the description's bytes as they go; a null picture is sent as none.
MemStream EncodeUserInfo(QByteArray const& i_description, QByteArray const* ip_picture, quint32 i_uploadSlots,
                         quint32 i_queuedUploads, bool i_freeSlot);

} // namespace PeerCodec

#endif
