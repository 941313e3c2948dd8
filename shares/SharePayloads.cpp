#include "shares/SharePayloads.h"

namespace SharePayload {

namespace {

MemStream Compressed(quint32 i_code, MemStream const& i_record)
{
    MemStream l_message;
    l_message.WriteU32(i_code);
    if (!ZlibCompress(i_record, l_message))
        return MemStream();
    return l_message;
}

} // namespace

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

MemStream SearchResults(SearchReply const& i_reply)
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
    return Compressed(SEARCH_RESULTS, l_record);
}

MemStream ShareList(FileInfoMap const& i_share)
{
    MemStream l_record;
    l_record.WriteU32(quint32(i_share.size()));
    for (auto const& l_folder : i_share) {
        l_record.WriteRaw(l_folder.first);
        l_record.WriteU32(quint32(l_folder.second.size()));
        for (FileInfo const& l_file : l_folder.second)
            l_file.Write(l_record);
    }
    l_record.WriteU32(0);
    return Compressed(SHARE_LIST, l_record);
}

MemStream FolderContents(quint32 i_token, QString const& i_folder, SharedFolderInfo const& i_files)
{
    MemStream l_record;
    l_record.WriteU32(i_token);
    l_record.Write(i_folder);
    l_record.WriteU32(1);
    l_record.Write(i_folder);
    i_files.Write(l_record);
    return Compressed(FOLDER_CONTENTS, l_record);
}

} // namespace SharePayload
