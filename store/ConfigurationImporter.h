#ifndef QUILLMAR_STORE_CONFIGURATIONIMPORTER_H
#define QUILLMAR_STORE_CONFIGURATIONIMPORTER_H

// Imports settings of the classic client.

#include <QString>

class ConfigurationImporter
{
public:
    // Reads a user-list file (u32 count of at most 0x20000, then that many
    // names, each a u32 length of at most 0x20000 and its bytes) and puts
    // every named user on the user list ("user" linked to "in_user_list").
    // All or nothing: a file that cannot be read completely imports nobody
    // and gives false.
    static bool ImportUserList(QString const& i_path);
};

#endif
