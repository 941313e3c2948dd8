#include "peers/ShareListDecoder.h"

#include "store/Utilities.h"

#include <QtEndian>

#include <algorithm>

namespace PeerCodec {

namespace {

Status Malformed(QString const& i_reason)
{
    return Status{Fault::Malformed, i_reason};
}

Status Refused(QString const& i_reason)
{
    return Status{Fault::Refused, i_reason};
}

QString Number(quint64 i_number)
{
    return i_number == 0 ? QStringLiteral("0") : CommafyNumber(static_cast<long long>(i_number));
}

Status FolderPathTooLong(quint32 i_bytes)
{
    return Malformed(QString("names a folder path of %1 bytes").arg(Number(i_bytes)));
}

Status NameTooLong(quint32 i_bytes)
{
    return Refused(QString("holds a name of %1 bytes, longer than any file system allows (%2)")
                       .arg(Number(i_bytes), Number(MAX_NAME_BYTES)));
}

Status TooManyEntries()
{
    return Malformed(QString("lists more than %1 entries").arg(Number(MAX_SHARE_LIST_ENTRIES)));
}

// The path's names and depth: every separator may start a level of the
// tree (the parent rule cuts at the last one), so the depth counted is the
// separators' number plus one.
Status CheckFolderPath(std::string const& i_path)
{
    if (i_path.find('\0') != std::string::npos)
        return Refused("names a path with a NUL byte");
    quint64 l_depth = 1;
    std::size_t l_start = 0; // of the name being read
    for (std::size_t l_at = 0; l_at < i_path.size(); ++l_at) {
        if (i_path[l_at] == '\\' || i_path[l_at] == '/') {
            ++l_depth;
            l_start = l_at + 1;
        } else if (l_at - l_start >= MAX_NAME_BYTES) {
            std::size_t const l_end = i_path.find_first_of("\\/", l_at);
            return NameTooLong(quint32((l_end == std::string::npos ? i_path.size() : l_end) - l_start));
        }
    }
    if (l_depth > MAX_FOLDER_DEPTH)
        return Refused(QString("holds a folder %1 levels deep, deeper than any file system allows (%2)")
                           .arg(Number(l_depth), Number(MAX_FOLDER_DEPTH)));
    return Status();
}

} // namespace

// The unread inflated bytes; a unit that finds them short is read again
// from its start once more are inflated.
struct ShareListDecoder::Cursor
{
    char const* mp_at;
    char const* mp_end;

    bool Has(quint64 i_bytes) const { return quint64(mp_end - mp_at) >= i_bytes; }
    quint32 U32()
    {
        quint32 const l_value = qFromLittleEndian<quint32>(mp_at);
        mp_at += 4;
        return l_value;
    }
    quint64 U64()
    {
        quint64 const l_value = qFromLittleEndian<quint64>(mp_at);
        mp_at += 8;
        return l_value;
    }
};

ShareListDecoder::ShareListDecoder(QByteArray i_payload, int i_from, bool i_inflated)
    : m_payload(std::move(i_payload)), m_from(std::clamp(i_from, 0, m_payload.size())), m_inflatedInput(i_inflated)
{
    if (!m_inflatedInput)
        mp_zlib = StartInflating(m_payload.data() + m_from, std::size_t(m_payload.size() - m_from));
    if (!m_inflatedInput && !mp_zlib)
        Fail(Malformed("could not be inflated"));
}

void ShareListDecoder::Fail(Status const& i_status)
{
    // What was read stays in the list for the caller to drop: a list of a
    // million entries takes as long to free as to read.
    m_status = i_status;
    m_stage = Stage::Done;
}

Status ShareListDecoder::Finish()
{
    while (Step()) {
    }
    return m_status;
}

bool ShareListDecoder::Step()
{
    if (m_stage == Stage::Done)
        return false;
    if (ReadUnit() == Unit::NeedsMore)
        Fill();
    if (m_stage != Stage::Done)
        return true;
    // The list is whole or has failed: the window and the stream go now,
    // not with the decoder.
    m_window = std::vector<char>();
    m_payload = QByteArray();
    return false;
}

void ShareListDecoder::Fill()
{
    // What is unread moves to the front: the window holds at most the
    // longest unit (a folder's path and its count) and one piece.
    m_window.erase(m_window.begin(), m_window.begin() + std::ptrdiff_t(m_at));
    m_at = 0;
    std::size_t const l_held = m_window.size();
    if (m_inflatedInput) {
        qint64 const l_piece = std::min<qint64>(INFLATE_PIECE, m_payload.size() - m_from);
        if (l_piece <= 0) {
            Fail(Malformed("is cut short"));
            return;
        }
        m_window.insert(m_window.end(), m_payload.constData() + m_from, m_payload.constData() + m_from + l_piece);
        m_from += int(l_piece);
        m_inflated += quint64(l_piece);
        return;
    }
    if (m_streamEnded) {
        Fail(Malformed("is cut short"));
        return;
    }
    // The whole stream must not pass the cap either, though a list within
    // the entries' cap hardly comes near it.
    Piece const l_result =
        InflatePiece(*mp_zlib, m_window, std::min(INFLATE_PIECE, INFLATE_CAP_SHARE_LIST + 1 - m_inflated), false);
    m_inflated += m_window.size() - l_held;
    if (m_inflated > INFLATE_CAP_SHARE_LIST)
        Fail(Malformed(QString("does not inflate within %1 bytes").arg(Number(INFLATE_CAP_SHARE_LIST))));
    else if (l_result == Piece::Broken)
        Fail(Malformed("is not a zlib stream"));
    else if (l_result == Piece::CutShort || m_window.size() == l_held)
        Fail(Malformed("is cut short")); // the stream ended before the list
    else
        m_streamEnded = l_result == Piece::End;
}

ShareListDecoder::Unit ShareListDecoder::ReadUnit()
{
    Cursor l_at{m_window.data() + m_at, m_window.data() + m_window.size()};
    Unit l_unit = Unit::Read;
    switch (m_stage) {
    case Stage::FolderCount:
        if (!l_at.Has(4))
            return Unit::NeedsMore;
        m_folders = l_at.U32();
        // A folder costs as much as a file: the caps count both.
        if (m_folders > MAX_SHARE_LIST_ENTRIES) {
            Fail(TooManyEntries());
            return Unit::Failed;
        }
        m_entries = m_folders;
        m_stage = m_folders > 0 ? Stage::Folder : Stage::NameCount;
        break;
    case Stage::Folder:
        l_unit = ReadFolder(l_at);
        break;
    case Stage::FileCount:
        if (!l_at.Has(4))
            return Unit::NeedsMore;
        m_left = l_at.U32();
        m_entries += m_left;
        if (m_entries > MAX_SHARE_LIST_ENTRIES) {
            Fail(TooManyEntries());
            return Unit::Failed;
        }
        m_stage = m_left > 0 ? Stage::File : m_folders > 0 ? Stage::Folder : Stage::NameCount;
        break;
    case Stage::File:
        l_unit = ReadFile(l_at);
        break;
    case Stage::NameCount:
        if (!l_at.Has(4))
            return Unit::NeedsMore;
        // Each name costs a map node: the table counts against the same
        // caps, and is refused before anything of it is read.
        m_left = l_at.U32();
        if (m_left > MAX_ATTRIBUTE_NAMES || m_entries + m_left > MAX_SHARE_LIST_ENTRIES) {
            Fail(Malformed(QString("names %1 attributes after %2 entries").arg(Number(m_left), Number(m_entries))));
            return Unit::Failed;
        }
        // What follows the table is not read.
        m_stage = m_left > 0 ? Stage::Name : Stage::Done;
        break;
    case Stage::Name:
        l_unit = ReadName(l_at);
        break;
    case Stage::Done:
        return Unit::Failed;
    }
    if (l_unit == Unit::Read)
        m_at = std::size_t(l_at.mp_at - m_window.data());
    return l_unit;
}

ShareListDecoder::Unit ShareListDecoder::ReadBytes(Cursor& io_at, quint32 i_limit, std::string& o_bytes,
                                                   Status (*ip_tooLong)(quint32))
{
    if (!io_at.Has(4))
        return Unit::NeedsMore;
    quint32 const l_length = io_at.U32();
    // Before the bytes are waited for: a list past a bound ends here.
    if (l_length > i_limit) {
        Fail(ip_tooLong(l_length));
        return Unit::Failed;
    }
    if (!io_at.Has(l_length))
        return Unit::NeedsMore;
    o_bytes.assign(io_at.mp_at, l_length);
    io_at.mp_at += l_length;
    return Unit::Read;
}

ShareListDecoder::Unit ShareListDecoder::ReadFolder(Cursor& io_at)
{
    std::string l_path;
    Unit const l_unit = ReadBytes(io_at, NETWORK_STRING_LIMIT, l_path, &FolderPathTooLong);
    if (l_unit != Unit::Read)
        return l_unit;
    if (Status const l_status = CheckFolderPath(l_path); !l_status.Ok()) {
        Fail(l_status);
        return Unit::Failed;
    }
    // An honest list comes in byte order of its paths: each goes in at the
    // end. A path given twice adds its files to the first.
    mp_files = &m_list.m_folders.try_emplace(m_list.m_folders.end(), std::move(l_path))->second;
    --m_folders;
    m_stage = Stage::FileCount;
    return Unit::Read;
}

ShareListDecoder::Unit ShareListDecoder::ReadFile(Cursor& io_at)
{
    FileInfo l_file;
    if (!io_at.Has(1))
        return Unit::NeedsMore;
    ++io_at.mp_at; // the byte that says a record follows
    Unit l_unit = ReadBytes(io_at, MAX_NAME_BYTES, l_file.m_name, &NameTooLong);
    if (l_unit != Unit::Read)
        return l_unit;
    if (!io_at.Has(8))
        return Unit::NeedsMore;
    l_file.m_size = io_at.U64();
    if ((l_unit = ReadBytes(io_at, MAX_NAME_BYTES, l_file.m_attributes.m_extension, &NameTooLong)) != Unit::Read)
        return l_unit;
    if (!io_at.Has(4))
        return Unit::NeedsMore;
    quint32 const l_pairs = io_at.U32();
    if (l_pairs > AttributeMap::MAX_PAIRS) {
        Fail(Malformed(QString("gives a file %1 attributes").arg(l_pairs)));
        return Unit::Failed;
    }
    if (!io_at.Has(8 * quint64(l_pairs)))
        return Unit::NeedsMore;
    l_file.m_attributes.m_attributes.reserve(l_pairs);
    for (quint32 l_pair = 0; l_pair < l_pairs; ++l_pair) {
        quint32 const l_code = io_at.U32();
        l_file.m_attributes.m_attributes.emplace_back(l_code, io_at.U32());
    }
    if (l_file.m_name.find('\0') != std::string::npos) {
        Fail(Refused("names a file with a NUL byte"));
        return Unit::Failed;
    }
    if (qint64(l_file.m_size) < 0) {
        Fail(Refused(QString("gives the negative size %1").arg(qint64(l_file.m_size))));
        return Unit::Failed;
    }
    // In name order, as an honest list gives them, each goes in at the end.
    mp_files->insert(mp_files->end(), std::move(l_file));
    if (--m_left == 0)
        m_stage = m_folders > 0 ? Stage::Folder : Stage::NameCount;
    return Unit::Read;
}

ShareListDecoder::Unit ShareListDecoder::ReadName(Cursor& io_at)
{
    if (!io_at.Has(4))
        return Unit::NeedsMore;
    quint32 const l_code = io_at.U32();
    std::string l_name;
    Unit const l_unit = ReadBytes(io_at, MAX_NAME_BYTES, l_name, &NameTooLong);
    if (l_unit != Unit::Read)
        return l_unit;
    m_list.m_table[l_code] = std::move(l_name);
    if (--m_left == 0)
        m_stage = Stage::Done;
    return Unit::Read;
}

} // namespace PeerCodec
