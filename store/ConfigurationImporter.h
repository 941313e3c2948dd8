#ifndef QUILLMAR_STORE_CONFIGURATIONIMPORTER_H
#define QUILLMAR_STORE_CONFIGURATIONIMPORTER_H

// Imports settings of the classic client.

#include "store/Stream.h"

#include <QString>

#include <string>
#include <vector>

class ConfigurationImporter
{
public:
    // Reads a user-list file (see DecodeUserList) and puts every named user
    // on the user list ("user" linked to "in_user_list"). All or nothing: a
    // file that cannot be read completely imports nobody and gives false.
    static bool ImportUserList(QString const& i_path);
};

// The names of a user-list file: a u32 count of at most 0x20000, then that
// many names, each a u32 length of at most 0x20000 and its bytes; bytes
// after the last name are ignored. False, with the reason, when the file is
// not one: a count larger than the file can hold, a name cut short, or a name
// holding a NUL byte. Touches nothing but its arguments.
bool DecodeUserList(InputStream& io_in, std::vector<std::string>& o_names, QString& o_error);

#endif
