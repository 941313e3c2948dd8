#ifndef QUILLMAR_STORE_FILEINFO_H
#define QUILLMAR_STORE_FILEINFO_H

// The records of a share listing: one file with its name, size and audio
// attributes, and the shape of a whole received (or own) share.
//
// Names and extensions are kept as the bytes the peer sent, so that a file
// asked for later is named exactly as the peer knows it; show them with
// ToQString (UTF-8, else the chosen code page).

#include "store/Stream.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Extension, then (code, value) pairs, kept in the order received and with
// any repeats, so that a list is passed on as the peer sent it. Wire form:
// string extension, u32 count, count x (u32 code, u32 value).
class AttributeMap : public Persistent
{
public:
    // More pairs than any file carries; a longer list is refused.
    static constexpr quint32 MAX_PAIRS = 32;

    bool Read(InputStream& io_stream) override;
    bool Write(OutputStream& io_stream) const override;

    // The value of the first pair with that code.
    bool Find(quint32 i_code, quint32& o_value) const;

    bool operator==(AttributeMap const& i_other) const
    {
        return m_extension == i_other.m_extension && m_attributes == i_other.m_attributes;
    }

    std::string m_extension;
    std::vector<std::pair<quint32, quint32>> m_attributes;
};

// Wire form: u8 1, string name, u64 size, AttributeMap.
class FileInfo : public Persistent
{
public:
    FileInfo() = default;
    FileInfo(std::string i_name, quint64 i_size) : m_name(std::move(i_name)), m_size(i_size) {}

    bool Read(InputStream& io_stream) override;
    bool Write(OutputStream& io_stream) const override;

    // By name (bytes, a shorter prefix first), then by size read as signed
    // 64-bit; equal name and size are one record.
    bool operator<(FileInfo const& i_other) const;
    bool operator==(FileInfo const& i_other) const
    {
        return m_name == i_other.m_name && m_size == i_other.m_size && m_attributes == i_other.m_attributes;
    }

    QString Name() const;

    std::string m_name;
    quint64 m_size = 0;
    AttributeMap m_attributes;
};

// Folder (bytes, backslash-separated) to its files.
typedef std::map<std::string, std::set<FileInfo>> FileInfoMap;
// Attribute code to its name.
typedef std::map<quint32, std::string> AttributeTranslationTable;

#endif
