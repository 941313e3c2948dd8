#include "store/ConfigurationImporter.h"

#include "store/Data.h"
#include "store/Log.h"
#include "store/QFileStreamer.h"
#include "store/Utilities.h"

#include <QFile>

namespace {
quint32 const MAX_NAMES = 0x20000;
char const* const LOG_CATEGORY = "Configuration Data";
} // namespace

bool DecodeUserList(InputStream& io_in, std::vector<std::string>& o_names, QString& o_error)
{
    io_in.SetReadStringLimit(NETWORK_STRING_LIMIT);
    quint32 l_count = 0;
    // Every name takes at least its length: a larger count is no user list.
    if (!io_in.ReadU32(l_count) || l_count > MAX_NAMES || l_count > io_in.BytesAvailable() / 4) {
        o_error = QStringLiteral("it is not a user list");
        return false;
    }
    o_names.clear();
    o_names.reserve(l_count);
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        std::string l_name;
        if (!io_in.ReadRaw(l_name) || l_name.find('\0') != std::string::npos) {
            o_error = QStringLiteral("it ends or breaks at name %1 of %2")
                          .arg(QString::number(l_index + 1), QString::number(l_count));
            return false;
        }
        o_names.push_back(std::move(l_name));
    }
    return true;
}

bool ConfigurationImporter::ImportUserList(QString const& i_path)
{
    if (!d.HasType("user") || !d.HasType("in_user_list") || !d["user"]->IsRelatedTo(d["in_user_list"])) {
        Log(LOG_CATEGORY, 1, "User list import: the user list is not available.");
        return false;
    }
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::ReadOnly)) {
        Log(LOG_CATEGORY, 1,
            QString("User list import: cannot open %1: %2").arg(Isolated(i_path), l_file.errorString()));
        return false;
    }
    // Every name is read before anyone is added, so a damaged file adds
    // nobody.
    QFileStreamer l_in(&l_file);
    std::vector<std::string> l_names;
    QString l_error;
    if (!DecodeUserList(l_in, l_names, l_error)) {
        Log(LOG_CATEGORY, 1, QString("User list import: nothing imported from %1: %2.").arg(Isolated(i_path), l_error));
        return false;
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
    Log(LOG_CATEGORY, 1,
        QString("User list import: %1 users added from %2.").arg(QString::number(l_added), Isolated(i_path)));
    return true;
}
