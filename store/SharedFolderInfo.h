#ifndef QUILLMAR_STORE_SHAREDFOLDERINFO_H
#define QUILLMAR_STORE_SHAREDFOLDERINFO_H

// The files directly inside one shared folder, as a folder-contents answer
// carries them. Wire form: u32 count n, n x FileInfo, u32 0.

#include "store/FileInfo.h"

#include <set>

class SharedFolderInfo : public Persistent
{
public:
    // The most files a read accepts.
    static constexpr quint32 MAX_FILES = 0x20000;

    // Clears the set, then reads the count and the files; the trailing 0 is
    // left unread. False for a count above MAX_FILES or a file cut short.
    bool Read(InputStream& io_stream) override;
    // Stops at the first write that fails.
    bool Write(OutputStream& io_stream) const override;

    std::set<FileInfo> m_files;
};

#endif
