#include "peers/PeerCodec.h"

#include "peers/ShareListDecoder.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>

#include <functional>
#include <limits>

namespace PeerCodec {

namespace {

// Smallest wire size of the records whose counts a peer announces; a count
// that cannot fit in the bytes left is refused before anything is reserved.
constexpr quint64 MIN_FILE_INFO_BYTES = 1 + 4 + 8 + 4 + 4;
constexpr quint64 MIN_FOLDER_BYTES = 4 + 4;
constexpr quint32 MAX_INT = quint32(std::numeric_limits<qint32>::max());

Status Malformed(QString const& i_reason)
{
    return Status{Fault::Malformed, i_reason};
}

Status Refused(QString const& i_reason)
{
    return Status{Fault::Refused, i_reason};
}

Status CutShort()
{
    return Malformed("cut short");
}

bool CountFits(InputStream const& i_in, quint32 i_count, quint64 i_minBytes)
{
    return quint64(i_count) * i_minBytes <= i_in.BytesAvailable();
}

// A NUL can end a path early in whatever passes it on to the file system.
bool HasNul(std::string const& i_path)
{
    return i_path.find('\0') != std::string::npos;
}

bool HasNul(QString const& i_path)
{
    return i_path.contains(QChar(0));
}

template <class S> Status CheckPath(S const& i_path)
{
    return HasNul(i_path) ? Refused("names a path with a NUL byte") : Status();
}

Status CheckSize(qint64 i_size)
{
    return i_size < 0 ? Refused(QString("gives the negative size %1").arg(i_size)) : Status();
}

// One FileInfo of a share list, search answer or folder listing.
Status ReadFile(MemStream& io_in, FileInfo& o_file)
{
    if (!o_file.Read(io_in))
        return Malformed("has a file record cut short or with too many attributes");
    if (HasNul(o_file.m_name))
        return Refused("names a file with a NUL byte");
    return CheckSize(qint64(o_file.m_size));
}

// n files into one folder's set, n read from the stream.
Status ReadFolderFiles(MemStream& io_in, quint64 i_maxFiles, quint64& io_entries, std::set<FileInfo>& o_files)
{
    quint32 l_count = 0;
    if (!io_in.ReadU32(l_count) || !CountFits(io_in, l_count, MIN_FILE_INFO_BYTES))
        return Malformed("announces more files than it holds");
    io_entries += l_count;
    if (l_count > i_maxFiles || io_entries > MAX_SHARE_LIST_ENTRIES)
        return Malformed(QString("lists more than %1 entries").arg(qMin(i_maxFiles, MAX_SHARE_LIST_ENTRIES)));
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        FileInfo l_file;
        Status l_status = ReadFile(io_in, l_file);
        if (!l_status.Ok())
            return l_status;
        o_files.insert(std::move(l_file));
    }
    return Status();
}

// i_folders folders, each a path and its files, at most i_maxFiles of them
// in one folder; folders and files are added to io_entries.
Status ReadFolders(MemStream& io_in, quint32 i_folders, quint64 i_maxFiles, quint64& io_entries,
                   FileInfoMap& o_folders)
{
    io_entries += i_folders;
    for (quint32 l_folder = 0; l_folder < i_folders; ++l_folder) {
        std::string l_path;
        if (!io_in.ReadRaw(l_path))
            return CutShort();
        Status l_status = CheckPath(l_path);
        if (l_status.Ok())
            l_status = ReadFolderFiles(io_in, i_maxFiles, io_entries, o_folders[l_path]);
        if (!l_status.Ok())
            return l_status;
    }
    return Status();
}

// A compressed payload: inflated within i_cap, then read by ip_reader.
template <class T>
Status ReadInflated(MemStream& io_in, quint64 i_cap, Status (*ip_reader)(MemStream&, T&), T& o_record)
{
    MemStream l_inflated;
    if (!ZlibInflate(io_in, i_cap, l_inflated))
        return Malformed(QString("does not inflate within %1 bytes").arg(i_cap));
    return ip_reader(l_inflated, o_record);
}

template <class T> Status Decode(MemStream& io_in, Message& o_message, Status (*ip_decoder)(MemStream&, T&))
{
    T l_record;
    Status l_status = ip_decoder(io_in, l_record);
    if (l_status.Ok())
        o_message.m_record = std::move(l_record);
    return l_status;
}

MemStream NewMessage(quint32 i_code)
{
    MemStream l_message;
    l_message.WriteU32(i_code);
    return l_message;
}

} // namespace

// ------------------------------------------------------------------ decoders

bool NeedsKnownSender(quint32 i_code)
{
    switch (i_code) {
    case SHARED_FILES_REQUEST:
    case SHARED_FILES:
    case USER_INFO_REQUEST:
    case FOLDER_CONTENTS_REQUEST:
    case TRANSFER_REQUEST:
    case TRANSFER_RESPONSE:
    case QUEUE_UPLOAD:
    case UPLOAD_PLACE_IN_LINE:
    case UPLOAD_FAILED:
    case UPLOAD_DENIED:
    case UPLOAD_PLACE_IN_LINE_REQUEST:
    case QUEUE_DOWNLOAD:
        return true;
    default:
        return false;
    }
}

bool PeekCode(QByteArray const& i_message, quint32& o_code)
{
    if (i_message.size() < 4)
        return false;
    o_code = qFromLittleEndian<quint32>(i_message.constData());
    return true;
}

Status Decode(MemStream& io_in, Message& o_message)
{
    o_message = Message();
    if (!io_in.ReadU32(o_message.m_code))
        return Malformed("has no code");
    switch (o_message.m_code) {
    case SHARED_FILES:
        return Decode(io_in, o_message, &DecodeShareList);
    case SEARCH_RESULTS:
        return Decode(io_in, o_message, &DecodeSearchAnswer);
    case USER_INFO_REPLY:
        return Decode(io_in, o_message, &DecodeUserInfo);
    case FOLDER_CONTENTS_REQUEST:
        return Decode(io_in, o_message, &DecodeFolderRequest);
    case FOLDER_CONTENTS:
        return Decode(io_in, o_message, &DecodeFolderContents);
    case TRANSFER_REQUEST:
        return Decode(io_in, o_message, &DecodeTransferRequest);
    case TRANSFER_RESPONSE:
        return Decode(io_in, o_message, &DecodeTransferResponse);
    case QUEUE_UPLOAD:
    case UPLOAD_PLACE_IN_LINE_REQUEST:
        return Decode(io_in, o_message, &DecodeFileRequest);
    case UPLOAD_PLACE_IN_LINE:
        return Decode(io_in, o_message, &DecodePlaceInLine);
    case UPLOAD_FAILED:
        return Decode(io_in, o_message, &DecodeUploadFailed);
    case UPLOAD_DENIED:
        return Decode(io_in, o_message, &DecodeUploadDenied);
    case QUEUE_DOWNLOAD:
        return Decode(io_in, o_message, &DecodeQueueDownload);
    default: // 4, 15 and codes we do not know carry nothing we read
        return Status();
    }
}

namespace {

Status ReadWhole(ShareListDecoder& io_decoder, ShareList& o_list)
{
    Status const l_status = io_decoder.Finish();
    o_list = std::move(io_decoder.List());
    return l_status;
}

} // namespace

Status DecodeShareList(MemStream& io_in, ShareList& o_list)
{
    ShareListDecoder l_decoder(io_in.ToByteArray(io_in.ReadIndex()), 0);
    return ReadWhole(l_decoder, o_list);
}

Status DecodeSearchAnswer(MemStream& io_in, SearchAnswer& o_answer)
{
    return ReadInflated(io_in, INFLATE_CAP_DEFAULT, &ReadSearchAnswer, o_answer);
}

Status DecodeFolderContents(MemStream& io_in, FolderContents& o_contents)
{
    return ReadInflated(io_in, INFLATE_CAP_DEFAULT, &ReadFolderContents, o_contents);
}

Status PeekSearchAnswerToken(MemStream const& i_in, quint32& o_token)
{
    // The record starts with the user's name and the token: the name's
    // length first, then as much as the two need.
    MemStream l_head;
    quint32 l_nameLength = 0;
    if (!ZlibInflatePrefix(i_in, 4, l_head) || !l_head.ReadU32(l_nameLength))
        return Malformed("does not inflate to a record");
    if (l_nameLength > l_head.ReadStringLimit())
        return Malformed(QString("names a user of %1 bytes").arg(l_nameLength));
    std::string l_name;
    if (!ZlibInflatePrefix(i_in, 8 + quint64(l_nameLength), l_head) || !l_head.ReadRaw(l_name) ||
        !l_head.ReadU32(o_token))
        return CutShort();
    return Status();
}

Status ReadShareList(MemStream& io_in, ShareList& o_list)
{
    ShareListDecoder l_decoder(io_in.ToByteArray(io_in.ReadIndex()), 0, true);
    return ReadWhole(l_decoder, o_list);
}

namespace {

// splitmix64's finaliser: sums of raw FNV or library hashes would keep
// their structure.
quint64 Mixed(quint64 i_value)
{
    i_value = (i_value ^ (i_value >> 30)) * 0xbf58476d1ce4e5b9ull;
    i_value = (i_value ^ (i_value >> 27)) * 0x94d049bb133111ebull;
    return i_value ^ (i_value >> 31);
}

} // namespace

void FilesDigest::Add(FileInfo const& i_file)
{
    quint64 l_fnv = 0xcbf29ce484222325ull;
    for (char const l_byte : i_file.m_name)
        l_fnv = (l_fnv ^ quint8(l_byte)) * 0x100000001b3ull;
    std::size_t const l_library = std::hash<std::string>()(i_file.m_name);
    ++m_count;
    m_first += Mixed(l_fnv ^ i_file.m_size);
    m_second += Mixed(quint64(l_library) + Mixed(i_file.m_size + 0x9e3779b97f4a7c15ull));
}

void ZlibEnd::operator()(z_stream_s* ip_zlib) const
{
    inflateEnd(ip_zlib);
    delete ip_zlib;
}

ZlibStream StartInflating(char* ip_in, std::size_t i_bytes)
{
    auto lp_zlib = std::make_unique<z_stream_s>(); // zeroed
    if (inflateInit(lp_zlib.get()) != Z_OK)
        return nullptr;
    lp_zlib->next_in = reinterpret_cast<Bytef*>(ip_in);
    lp_zlib->avail_in = uInt(i_bytes);
    return ZlibStream(lp_zlib.release());
}

Piece InflatePiece(z_stream_s& io_zlib, std::vector<char>& io_out, std::size_t i_room, bool i_fill)
{
    std::size_t const l_held = io_out.size();
    io_out.resize(l_held + i_room);
    io_zlib.next_out = reinterpret_cast<Bytef*>(io_out.data() + l_held);
    io_zlib.avail_out = uInt(i_room);
    int l_result = Z_OK;
    while (io_zlib.avail_out > 0 && (i_fill || io_zlib.avail_out == i_room) && l_result == Z_OK)
        l_result = inflate(&io_zlib, Z_NO_FLUSH);
    io_out.resize(l_held + i_room - io_zlib.avail_out);
    if (l_result == Z_OK || l_result == Z_STREAM_END)
        return l_result == Z_OK ? Piece::More : Piece::End;
    return l_result == Z_BUF_ERROR ? Piece::CutShort : Piece::Broken;
}

Status ReadSearchAnswer(MemStream& io_in, SearchAnswer& o_answer)
{
    SearchAnswerReader l_reader(io_in.ToByteArray(io_in.ReadIndex()), 0, MAX_ANSWER_FILES, true);
    Status const l_status = l_reader.Finish();
    o_answer = std::move(l_reader.Answer());
    return l_status;
}

SearchAnswerReader::SearchAnswerReader(QByteArray i_payload, int i_from, std::size_t i_keep, bool i_inflated)
    : m_payload(std::move(i_payload)), m_keep(i_keep)
{
    int const l_from = std::clamp(i_from, 0, m_payload.size());
    if (i_inflated) {
        m_record = MemStream(m_payload.constData() + l_from, static_cast<unsigned long>(m_payload.size() - l_from));
        m_payload = QByteArray();
        m_stage = Stage::Head;
        return;
    }
    mp_zlib = StartInflating(m_payload.data() + l_from, std::size_t(m_payload.size() - l_from));
    if (!mp_zlib)
        Fail(Malformed(QString("does not inflate within %1 bytes").arg(INFLATE_CAP_DEFAULT)));
}

void SearchAnswerReader::Fail(Status const& i_status)
{
    m_status = i_status;
    m_stage = Stage::Done;
}

Status SearchAnswerReader::Finish()
{
    while (Step()) {
    }
    return m_status;
}

bool SearchAnswerReader::Step()
{
    switch (m_stage) {
    case Stage::Inflate:
        Inflate();
        break;
    case Stage::Head:
        ReadHead();
        break;
    case Stage::Files:
        ReadFiles();
        break;
    case Stage::Tail:
        // The attribute-name table that may follow is not used.
        if (!m_record.ReadBool(m_answer.m_freeSlot) || !m_record.ReadU32(m_answer.m_speed) ||
            !m_record.ReadU32(m_answer.m_queued))
            Fail(CutShort());
        m_stage = Stage::Done;
        break;
    case Stage::Done:
        break;
    }
    if (m_stage != Stage::Done)
        return true;
    // What the answer needed goes now, not with the reader.
    m_record = MemStream();
    m_payload = QByteArray();
    mp_zlib.reset();
    return false;
}

void SearchAnswerReader::Inflate()
{
    std::vector<char> l_piece;
    Piece const l_result =
        InflatePiece(*mp_zlib, l_piece, std::min(INFLATE_PIECE, INFLATE_CAP_DEFAULT + 1 - m_record.Size()), true);
    m_record.WriteBuffer(l_piece.data(), static_cast<unsigned long>(l_piece.size()));
    if (m_record.Size() > INFLATE_CAP_DEFAULT || (l_result != Piece::More && l_result != Piece::End))
        Fail(Malformed(QString("does not inflate within %1 bytes").arg(INFLATE_CAP_DEFAULT)));
    else if (l_result == Piece::End)
        m_stage = Stage::Head;
}

void SearchAnswerReader::ReadHead()
{
    if (!m_record.ReadString(m_answer.m_user) || !m_record.ReadU32(m_answer.m_token) || !m_record.ReadU32(m_count))
        return Fail(CutShort());
    if (!CountFits(m_record, m_count, MIN_FILE_INFO_BYTES))
        return Fail(Malformed("announces more files than it holds"));
    if (m_count > MAX_ANSWER_FILES)
        return Fail(Malformed(QString("holds %1 files, more than any answer").arg(m_count)));
    m_answer.m_files.reserve(std::min<std::size_t>(m_count, m_keep));
    m_stage = Stage::Files;
}

void SearchAnswerReader::ReadFiles()
{
    for (quint32 l_step = 0; l_step < FILES_PER_STEP && m_read < m_count; ++l_step, ++m_read) {
        FileInfo l_file;
        Status const l_status = ReadFile(m_record, l_file);
        if (!l_status.Ok())
            return Fail(l_status);
        m_digest.Add(l_file);
        if (m_answer.m_files.size() < m_keep)
            m_answer.m_files.push_back(std::move(l_file));
    }
    if (m_read == m_count)
        m_stage = Stage::Tail;
}

Status ReadFolderContents(MemStream& io_in, FolderContents& o_contents)
{
    o_contents = FolderContents();
    quint32 l_folders = 0;
    if (!io_in.ReadU32(o_contents.m_token) || !io_in.ReadRaw(o_contents.m_folder) || !io_in.ReadU32(l_folders))
        return CutShort();
    if (!CountFits(io_in, l_folders, MIN_FOLDER_BYTES))
        return Malformed("announces more folders than it holds");
    Status l_status = CheckPath(o_contents.m_folder);
    // The u32 0 that ends a folder listing is not needed to read it.
    quint64 l_entries = 0;
    return l_status.Ok() ? ReadFolders(io_in, l_folders, MAX_FOLDER_FILES, l_entries, o_contents.m_folders)
                         : l_status;
}

Status DecodeUserInfo(MemStream& io_in, UserInfo& o_info)
{
    o_info = UserInfo();
    if (!io_in.ReadString(o_info.m_description) || !io_in.ReadBool(o_info.m_hasPicture))
        return CutShort();
    if (o_info.m_hasPicture) {
        // A picture may pass the string limit; its length is checked against
        // the bytes actually received, which the frame bounds, before
        // anything is allocated for it.
        quint32 l_length = 0;
        if (!io_in.ReadU32(l_length) || l_length > io_in.BytesAvailable())
            return CutShort();
        o_info.m_picture.resize(int(l_length));
        if (!io_in.ReadBuffer(o_info.m_picture.data(), l_length))
            return CutShort();
    }
    quint32 l_slots = 0, l_queued = 0;
    if (!io_in.ReadU32(l_slots) || !io_in.ReadU32(l_queued) || !io_in.ReadBool(o_info.m_freeSlot))
        return CutShort();
    if (l_slots > MAX_INT || l_queued > MAX_INT)
        return Refused(QString("gives %1 upload slots and %2 queued uploads").arg(l_slots).arg(l_queued));
    o_info.m_uploadSlots = int(l_slots);
    o_info.m_queuedUploads = int(l_queued);
    return Status();
}

Status DecodeFolderRequest(MemStream& io_in, FolderRequest& o_request)
{
    o_request = FolderRequest();
    if (!io_in.ReadU32(o_request.m_token) || !io_in.ReadString(o_request.m_folder))
        return CutShort();
    return CheckPath(o_request.m_folder);
}

Status DecodeTransferRequest(MemStream& io_in, TransferRequest& o_request)
{
    o_request = TransferRequest();
    quint32 l_direction = 0;
    if (!io_in.ReadU32(l_direction) || !io_in.ReadU32(o_request.m_token) || !io_in.ReadRaw(o_request.m_file))
        return CutShort();
    o_request.m_direction = int(l_direction);
    if (l_direction > MAX_INT)
        return Refused(QString("has the direction %1").arg(l_direction));
    // Only an offer (direction 1) must carry the size, and only there does
    // it mean anything.
    quint64 l_size = 0;
    if (!io_in.ReadU64(l_size) && l_direction == 1)
        return CutShort();
    o_request.m_size = qint64(l_size);
    if (l_direction != 1 && o_request.m_size < 0)
        o_request.m_size = 0;
    Status l_status = CheckPath(o_request.m_file);
    return l_status.Ok() ? CheckSize(o_request.m_size) : l_status;
}

Status DecodeTransferResponse(MemStream& io_in, TransferResponse& o_response)
{
    o_response = TransferResponse();
    if (!io_in.ReadU32(o_response.m_token) || !io_in.ReadBool(o_response.m_allowed))
        return CutShort();
    if (!o_response.m_allowed)
        return io_in.ReadString(o_response.m_reason) ? Status() : CutShort();
    quint64 l_size = 0;
    o_response.m_hasSize = io_in.BytesAvailable() >= 8 && io_in.ReadU64(l_size);
    o_response.m_size = qint64(l_size);
    return CheckSize(o_response.m_size);
}

Status DecodeFileRequest(MemStream& io_in, FileRequest& o_request)
{
    o_request = FileRequest();
    return io_in.ReadString(o_request.m_file) ? CheckPath(o_request.m_file) : CutShort();
}

Status DecodePlaceInLine(MemStream& io_in, PlaceInLine& o_place)
{
    o_place = PlaceInLine();
    quint32 l_place = 0;
    if (!io_in.ReadRaw(o_place.m_file) || !io_in.ReadU32(l_place))
        return CutShort();
    if (l_place > MAX_INT)
        return Refused(QString("gives the place in line %1").arg(l_place));
    o_place.m_place = int(l_place);
    return CheckPath(o_place.m_file);
}

Status DecodeUploadFailed(MemStream& io_in, UploadFailed& o_failed)
{
    o_failed = UploadFailed();
    return io_in.ReadRaw(o_failed.m_file) ? CheckPath(o_failed.m_file) : CutShort();
}

Status DecodeUploadDenied(MemStream& io_in, UploadDenied& o_denied)
{
    o_denied = UploadDenied();
    if (!io_in.ReadRaw(o_denied.m_file) || !io_in.ReadString(o_denied.m_reason))
        return CutShort();
    return CheckPath(o_denied.m_file);
}

Status DecodeQueueDownload(MemStream& io_in, QueueDownload& o_queue)
{
    o_queue = QueueDownload();
    if (!io_in.ReadRaw(o_queue.m_file) || !io_in.ReadI64(o_queue.m_size))
        return CutShort();
    Status l_status = CheckPath(o_queue.m_file);
    return l_status.Ok() ? CheckSize(o_queue.m_size) : l_status;
}

// ------------------------------------------------------------------ encoders

MemStream EncodeRequest(quint32 i_code)
{
    return NewMessage(i_code);
}

MemStream EncodeTransferRequest(quint32 i_token, QString const& i_file, qint64 i_size)
{
    MemStream l_message = NewMessage(TRANSFER_REQUEST);
    l_message.WriteU32(1);
    l_message.WriteU32(i_token);
    l_message.WriteString(i_file);
    l_message.WriteU64(quint64(i_size));
    return l_message;
}

MemStream EncodeTransferAccepted(quint32 i_token, bool i_withSize, qint64 i_size)
{
    MemStream l_message = NewMessage(TRANSFER_RESPONSE);
    l_message.WriteU32(i_token);
    l_message.WriteU8(1);
    if (i_withSize)
        l_message.WriteU64(quint64(i_size));
    return l_message;
}

MemStream EncodeTransferDenied(quint32 i_token, QString const& i_reason)
{
    MemStream l_message = NewMessage(TRANSFER_RESPONSE);
    l_message.WriteU32(i_token);
    l_message.WriteU8(0);
    l_message.WriteString(i_reason);
    return l_message;
}

MemStream EncodeQueueUpload(std::string const& i_file)
{
    MemStream l_message = NewMessage(QUEUE_UPLOAD);
    l_message.WriteRaw(i_file);
    return l_message;
}

MemStream EncodePlaceInLine(QString const& i_file, int i_place)
{
    MemStream l_message = NewMessage(UPLOAD_PLACE_IN_LINE);
    l_message.WriteString(i_file);
    l_message.WriteU32(quint32(i_place));
    return l_message;
}

MemStream EncodeUploadDenied(QString const& i_file, QString const& i_reason)
{
    MemStream l_message = NewMessage(UPLOAD_DENIED);
    l_message.WriteString(i_file);
    l_message.WriteString(i_reason);
    return l_message;
}

MemStream EncodeUserInfo(QByteArray const& i_description, QByteArray const* ip_picture, quint32 i_uploadSlots,
                         quint32 i_queuedUploads, bool i_freeSlot)
{
    MemStream l_message = NewMessage(USER_INFO_REPLY);
    l_message.WriteRaw(i_description);
    l_message.WriteBool(ip_picture != nullptr);
    if (ip_picture)
        l_message.WriteRaw(*ip_picture);
    l_message.WriteU32(i_uploadSlots);
    l_message.WriteU32(i_queuedUploads);
    l_message.WriteBool(i_freeSlot);
    return l_message;
}

MemStream EncodeQueueDownload(QString const& i_file, qint64 i_size)
{
    MemStream l_message = NewMessage(QUEUE_DOWNLOAD);
    l_message.WriteString(i_file);
    l_message.WriteI64(i_size);
    return l_message;
}

} // namespace PeerCodec
