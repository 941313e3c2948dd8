#ifndef QUILLMAR_TESTS_SHARES_SHARESFIXTURE_H
#define QUILLMAR_TESTS_SHARES_SHARESFIXTURE_H

// A fresh store with the types the shared-folders manager builds on, declared
// the way the server link and the peer messenger declare them, without
// making those two (the index tests and the benchmark need only the types;
// SharesWiringTest makes the real ones).

#include "server/StoreTypes.h"
#include "store/Data.h"
#include "store/Settings.h"

#include <QByteArray>
#include <QtEndian>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

inline void DeclareSharesNeighbourTypes()
{
    d.Reset();
    DeclareSettingsTypes();
    DeclareUserType();
    DeclareUserListTypes();
    EnsureAttribute("user", "user_address");
    EnsureAttribute("user", "user_port");
    for (char const* lp_attribute :
         {"mpeg_version", "channel_mode", "audio_frequency", "bitrate", "bitrate_mode", "length_seconds", "file_size"})
        d.NewType(lp_attribute, LEAF, false, true);
}

// Writes a file under the folder, its parent folders made as needed; a file
// that cannot be written ends the test program. Gives the file's path.
inline QString WriteTestFile(QTemporaryDir const& i_dir, QString const& i_name, QByteArray const& i_data)
{
    QString const l_path = i_dir.filePath(i_name);
    QDir().mkpath(QFileInfo(l_path).path());
    QFile l_file(l_path);
    if (!l_file.open(QIODevice::WriteOnly) || l_file.write(i_data) != i_data.size())
        qFatal("cannot write %s", qPrintable(l_path));
    return l_path;
}

// Wire bytes written out by hand, so that a test expects the layout itself
// and not whatever the product's encoder makes.
struct Wire
{
    template <class T> Wire& Le(T i_value)
    {
        char l_bytes[sizeof(T)];
        qToLittleEndian(i_value, l_bytes);
        return Raw(QByteArray(l_bytes, int(sizeof(T))));
    }
    Wire& U8(quint8 i_value) { return Le(i_value); }
    Wire& U32(quint32 i_value) { return Le(i_value); }
    Wire& U64(quint64 i_value) { return Le(i_value); }
    Wire& Str(QByteArray const& i_text) { return U32(quint32(i_text.size())).Raw(i_text); }
    Wire& Raw(QByteArray const& i_bytes) { m_bytes.append(i_bytes); return *this; }
    QByteArray m_bytes;
};

#endif
