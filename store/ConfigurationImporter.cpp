#include "store/ConfigurationImporter.h"

#include "store/Data.h"
#include "store/Log.h"
#include "store/QFileStreamer.h"

#include <QFile>

#include <vector>

namespace {
quint32 const MAX_NAMES = 0x20000;
char const* const LOG_CATEGORY = "Configuration Data";
} // namespace

bool ConfigurationImporter::ImportUserList(QString const& i_path)
{
    if (!d.HasType("user") || !d.HasType("in_user_list") || !d["user"]->IsRelatedTo(d["in_user_list"])) {
        Log(LOG_CATEGORY, 1, "User list import: the user list is not available.");
        return false;
    }
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::ReadOnly)) {
        Log(LOG_CATEGORY, 1, QString("User list import: cannot open %1: %2").arg(i_path, l_file.errorString()));
        return false;
    }
    QFileStreamer l_in(&l_file);
    l_in.SetStringLimit(NETWORK_STRING_LIMIT);
    quint32 l_count = 0;
    if (!l_in.ReadU32(l_count) || l_count > MAX_NAMES) {
        Log(LOG_CATEGORY, 1, QString("User list import: %1 is not a user list.").arg(i_path));
        return false;
    }
    // Every name is read before anyone is added, so a damaged file adds
    // nobody.
    std::vector<std::string> l_names;
    l_names.reserve(qMin<quint64>(l_count, l_in.BytesAvailable() / 4));
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        std::string l_name;
        if (!l_in.ReadRaw(l_name)) {
            Log(LOG_CATEGORY, 1,
                QString("User list import: %1 ends or breaks at name %2 of %3; nothing imported.")
                    .arg(i_path)
                    .arg(l_index + 1)
                    .arg(l_count));
            return false;
        }
        l_names.push_back(std::move(l_name));
    }
    Type* lp_users = d["user"];
    int l_added = 0;
    for (std::string const& l_name : l_names) {
        if (l_name.empty())
            continue;
        // Keyed as names from the server are: decoded text, stored as UTF-8.
        Item l_user = lp_users->NewItem(Value(DecodeStoredText(l_name)));
        if (!l_user.IsConnected("in_user_list")) {
            l_user.NewItem("in_user_list");
            ++l_added;
        }
    }
    Log(LOG_CATEGORY, 1, QString("User list import: %1 users added from %2.").arg(l_added).arg(i_path));
    return true;
}
