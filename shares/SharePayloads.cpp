#include "shares/SharePayloads.h"

#include <QtEndian>

#include <algorithm>
#include <limits>
#include <numeric>
#include <zlib.h>

namespace SharePayload {

namespace {

// Indices 0..i_count-1 in the order of i_less, the first of each run of
// equal elements kept (as inserting them into a std::set would keep it).
template <class Less>
std::vector<std::size_t> FirstOfEach(std::size_t i_from, std::size_t i_count, Less i_less)
{
    std::vector<std::size_t> l_order(i_count);
    std::iota(l_order.begin(), l_order.end(), i_from);
    std::stable_sort(l_order.begin(), l_order.end(), i_less);
    l_order.erase(std::unique(l_order.begin(), l_order.end(),
                              [&](std::size_t i_a, std::size_t i_b) { return !i_less(i_a, i_b); }),
                  l_order.end());
    return l_order;
}

} // namespace

// ------------------------------------------------------------ share list

void ShareListDraft::Reserve(std::size_t i_folders, std::size_t i_files)
{
    m_folders.reserve(i_folders);
    m_files.reserve(i_files);
}

void ShareListDraft::AddFolder(std::string i_remotePath)
{
    m_folders.push_back({std::move(i_remotePath), m_files.size(), 0});
}

void ShareListDraft::AddFile(FileInfo const& i_file)
{
    if (m_chunks.empty() || m_chunks.back().Size() >= CHUNK_BYTES)
        m_chunks.emplace_back();
    MemStream& l_chunk = m_chunks.back();
    quint64 const l_offset = l_chunk.Size();
    i_file.Write(l_chunk);
    quint64 const l_length = l_chunk.Size() - l_offset;
    m_bytes += l_length;
    m_files.push_back({quint32(m_chunks.size() - 1), l_offset, l_length, quint32(i_file.m_name.size()),
                       qint64(i_file.m_size)});
    ++m_folders.back().m_fileCount;
}

std::string_view ShareListDraft::Name(File const& i_file) const
{
    // After the present byte and the name's length.
    return std::string_view(m_chunks[i_file.m_chunk].Data() + i_file.m_offset + 5, i_file.m_nameLength);
}

MemStream ShareListDraft::Record() const
{
    std::vector<std::size_t> const l_folders = FirstOfEach(
        0, m_folders.size(), [&](std::size_t i_a, std::size_t i_b) { return m_folders[i_a].m_path < m_folders[i_b].m_path; });
    MemStream l_record;
    l_record.Reserve(m_bytes + 64 * quint64(l_folders.size()) + 8);
    l_record.WriteU32(quint32(l_folders.size()));
    for (std::size_t const l_index : l_folders) {
        Folder const& l_folder = m_folders[l_index];
        std::vector<std::size_t> const l_files =
            FirstOfEach(l_folder.m_firstFile, l_folder.m_fileCount, [&](std::size_t i_a, std::size_t i_b) {
                int const l_order = Name(m_files[i_a]).compare(Name(m_files[i_b]));
                return l_order != 0 ? l_order < 0 : m_files[i_a].m_size < m_files[i_b].m_size;
            });
        l_record.WriteRaw(l_folder.m_path);
        l_record.WriteU32(quint32(l_files.size()));
        for (std::size_t const l_file : l_files)
            l_record.WriteBuffer(m_chunks[m_files[l_file].m_chunk].Data() + m_files[l_file].m_offset,
                                 static_cast<unsigned long>(m_files[l_file].m_length));
    }
    l_record.WriteU32(0);
    return l_record;
}

MemStream ShareList(ShareListDraft const& i_share)
{
    return MemStream(Compressed(SHARE_LIST, i_share.Record()));
}

// ------------------------------------------------------------ compression

QByteArray Compressed(quint32 i_code, MemStream const& i_record, std::atomic<bool> const* ip_stop, quint64 i_slice)
{
    quint64 l_left = i_record.BytesAvailable();
    // What the single call into a buffer of 2 x L + 12 bytes could hold.
    if (l_left > (quint64(std::numeric_limits<int>::max()) - 12) / 2)
        return QByteArray();
    z_stream l_stream{};
    if (deflateInit(&l_stream, 9) != Z_OK)
        return QByteArray();
    struct End
    {
        z_stream& m_stream;
        ~End() { deflateEnd(&m_stream); }
    } l_end{l_stream};

    char l_code[4];
    qToLittleEndian(i_code, l_code);
    QByteArray l_out(l_code, 4);
    char const* lp_next = i_record.Data() + i_record.ReadIndex();
    char l_chunk[64 * 1024];
    // deflate takes its input in any pieces without a flush and makes the
    // same stream as compress2 given all of it at once.
    for (;;) {
        if (ip_stop && ip_stop->load(std::memory_order_relaxed))
            return QByteArray();
        uInt const l_feed = uInt(std::min(l_left, std::max<quint64>(i_slice, 1)));
        l_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(lp_next));
        l_stream.avail_in = l_feed;
        lp_next += l_feed;
        l_left -= l_feed;
        int const l_flush = l_left == 0 ? Z_FINISH : Z_NO_FLUSH;
        int l_result = Z_OK;
        do {
            l_stream.next_out = reinterpret_cast<Bytef*>(l_chunk);
            l_stream.avail_out = sizeof(l_chunk);
            l_result = deflate(&l_stream, l_flush);
            if (l_result == Z_STREAM_ERROR)
                return QByteArray();
            l_out.append(l_chunk, int(sizeof(l_chunk) - l_stream.avail_out));
        } while (l_stream.avail_out == 0);
        if (l_flush == Z_FINISH)
            return l_result == Z_STREAM_END ? l_out : QByteArray();
    }
}

// ---------------------------------------------------- search and folders

quint64 SearchReplyFixedSize(QString const& i_user)
{
    // user, token, file count, free slot, speed, queue, attribute-name count
    return 4 + quint64(i_user.toUtf8().size()) + 4 + 4 + 1 + 4 + 4 + 4;
}

quint64 WireSize(FileInfo const& i_file)
{
    return 1 + 4 + i_file.m_name.size() + 8 + 4 + i_file.m_attributes.m_extension.size() + 4
           + 8 * quint64(i_file.m_attributes.m_attributes.size());
}

MemStream SearchResultsRecord(SearchReply const& i_reply)
{
    MemStream l_record;
    l_record.Write(i_reply.m_user);
    l_record.WriteU32(i_reply.m_token);
    l_record.WriteU32(quint32(i_reply.m_files.size()));
    for (FileInfo const& l_file : i_reply.m_files)
        l_file.Write(l_record);
    l_record.WriteBool(i_reply.m_freeSlot);
    l_record.WriteU32(i_reply.m_uploadSpeed);
    l_record.WriteU32(i_reply.m_queuedUploads);
    l_record.WriteU32(0);
    return l_record;
}

MemStream FolderContentsRecord(quint32 i_token, QString const& i_folder, SharedFolderInfo const& i_files)
{
    MemStream l_record;
    l_record.WriteU32(i_token);
    l_record.Write(i_folder);
    l_record.WriteU32(1);
    l_record.Write(i_folder);
    i_files.Write(l_record);
    return l_record;
}

} // namespace SharePayload
