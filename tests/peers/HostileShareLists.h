#ifndef QUILLMAR_TESTS_PEERS_HOSTILESHARELISTS_H
#define QUILLMAR_TESTS_PEERS_HOSTILESHARELISTS_H

// Share-list records (inflated, as a peer writes them before compressing)
// of the shapes a hostile peer has sent, built byte by byte: the peer tests
// and the Browse page's benchmark use them.

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <string>

namespace HostileShareLists {

inline QByteArray U32(quint32 i_value)
{
    char l_bytes[4];
    qToLittleEndian(i_value, l_bytes);
    return QByteArray(l_bytes, 4);
}

inline QByteArray String(QByteArray const& i_bytes)
{
    return U32(quint32(i_bytes.size())) + i_bytes;
}

// A file record: present, name, size, extension, no attribute pairs.
inline QByteArray File(QByteArray const& i_name, quint64 i_size = 1000, QByteArray const& i_extension = QByteArray())
{
    char l_size[8];
    qToLittleEndian(i_size, l_size);
    return QByteArray(1, '\1') + String(i_name) + QByteArray(l_size, 8) + String(i_extension) + U32(0);
}

// A folder entry: its path, then its files.
inline QByteArray Folder(QByteArray const& i_path, QList<QByteArray> const& i_files = {})
{
    QByteArray l_entry = String(i_path) + U32(quint32(i_files.size()));
    for (QByteArray const& l_file : i_files)
        l_entry += l_file;
    return l_entry;
}

// The whole record: the folder count, the entries, no attribute names.
inline QByteArray ListRecord(int i_folders, QByteArray const& i_entries)
{
    return U32(quint32(i_folders)) + i_entries + U32(0);
}

// i_folders top-level folders whose names are i_bytes long.
inline QByteArray LongNames(int i_folders, int i_bytes)
{
    QByteArray l_entries;
    l_entries.reserve(i_folders * (i_bytes + 16));
    for (int l_folder = 0; l_folder < i_folders; ++l_folder) {
        QByteArray l_name = QByteArray::number(l_folder).rightJustified(8, '0');
        l_entries += Folder(l_name + QByteArray(i_bytes - l_name.size(), 'n'));
    }
    return ListRecord(i_folders, l_entries);
}

// A chain of folders each inside the one before: "a", "a\a", "a\a\a"...
inline QByteArray DeepChain(int i_depth)
{
    QByteArray l_entries;
    l_entries.reserve(i_depth * (i_depth + 8));
    QByteArray l_path = "a";
    for (int l_level = 0; l_level < i_depth; ++l_level, l_path += "\\a")
        l_entries += Folder(l_path);
    return ListRecord(i_depth, l_entries);
}

// i_chains chains of folders each i_depth deep: "c0", "c0\a", "c0\a\a"...,
// then "c1"...
inline QByteArray Chains(int i_chains, int i_depth)
{
    QByteArray l_entries;
    l_entries.reserve(int(std::min<qint64>(qint64(i_chains) * i_depth * (i_depth + 10), 1 << 30)));
    for (int l_chain = 0; l_chain < i_chains; ++l_chain) {
        QByteArray l_path = "c" + QByteArray::number(l_chain).rightJustified(4, '0');
        for (int l_level = 0; l_level < i_depth; ++l_level, l_path += "\\a")
            l_entries += Folder(l_path);
    }
    return ListRecord(i_chains * i_depth, l_entries);
}

// i_files files, a hundred to a folder, with names like a collection's.
inline QByteArray ManyFiles(int i_files)
{
    int const l_perFolder = 100;
    int const l_folders = (i_files + l_perFolder - 1) / l_perFolder;
    QByteArray l_entries;
    l_entries.reserve(i_files * 48);
    for (int l_folder = 0; l_folder < l_folders; ++l_folder) {
        QList<QByteArray> l_names;
        for (int l_file = 0; l_file < l_perFolder && l_folder * l_perFolder + l_file < i_files; ++l_file)
            l_names << File("Track " + QByteArray::number(l_file).rightJustified(3, '0') + " of album " +
                                QByteArray::number(l_folder) + ".mp3",
                            3000000 + quint64(l_file) * 7919);
        l_entries += Folder("Music\\Album " + QByteArray::number(l_folder).rightJustified(6, '0'), l_names);
    }
    return ListRecord(l_folders, l_entries);
}

// No folder, then an attribute-name table of i_names names of one byte.
inline QByteArray NameTableBomb(int i_names)
{
    return U32(0) + U32(quint32(i_names)) + (U32(0) + U32(1) + "n").repeated(i_names);
}

} // namespace HostileShareLists

#endif
