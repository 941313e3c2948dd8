#ifndef QUILLMAR_TRANSFERS_TRANSFERITEMS_H
#define QUILLMAR_TRANSFERS_TRANSFERITEMS_H

// Small store helpers shared by the parts of the transfer engine.

#include "store/Data.h"
#include "store/Log.h"
#include "store/Utilities.h"

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace TransferItems {

// The "user" item of that name (created when new).
inline Item UserItem(QString const& i_user)
{
    return d.GetType("user")->GetItem(Value(i_user));
}

// The engine's clock, in UTC: the manager's (which tests may set), or the
// system's when there is no manager.
QDateTime CurrentTime();

// Date-times kept in items: local time, one-second resolution, as the pages
// show them. Every comparison goes through StoredTime and UTC.
inline QString NowText(int i_secondsAhead = 0)
{
    return CurrentTime().addSecs(i_secondsAhead).toLocalTime().toString(Qt::TextDate);
}

// The instant (UTC) a stored local time names; invalid when the text is
// empty or unreadable. When summer time ends, an hour of texts names two
// instants each; the later one no more than ten minutes past i_now is taken,
// which is the right one for every time written less than an hour before
// i_now (or set at most ten minutes ahead of it).
QDateTime StoredTime(QString const& i_text, QDateTime const& i_now);

// Milliseconds from a stored time to i_now; i_unset when there is no
// readable time or it lies ahead of i_now.
qint64 MillisecondsSince(QString const& i_time, QDateTime const& i_now, qint64 i_unset);

inline void SetUserTime(Item const& i_user, char const* ip_type, int i_secondsAhead)
{
    if (i_user.IsValid())
        i_user += d.GetType(ip_type)->GetItem(Value(NowText(i_secondsAhead)));
}

inline bool IsActiveStatus(Item const& i_status)
{
    return i_status.IsValid() && i_status.IsConnected("is_active");
}

struct StatusChange
{
    bool m_wasActive;
    bool m_nowActive;
};

// Binds an entry to the status of that type ("download_entry_status",
// "upload_entry_status") and stamps the time of the change.
inline StatusChange StampStatus(Item const& i_entry, char const* ip_statusType, QString const& i_status)
{
    bool const l_wasActive = IsActiveStatus(i_entry[ip_statusType]);
    Item const l_status = d.GetType(ip_statusType)->GetItem(Value(i_status));
    i_entry += l_status;
    i_entry += d.GetType("last_status_change_time")->GetItem(Value(NowText()));
    return {l_wasActive, IsActiveStatus(l_status)};
}

inline void LogTransfer(int i_level, QString const& i_text, Item const& i_user = Item())
{
    Log("Transfer Queue", i_level, i_text, i_user);
}

// An attribute of an upload's shared file ("shared_file_size", "_folder",
// "_name"); empty when the index is not there or the file left it.
inline QString SharedFileText(Item const& i_entry, char const* ip_attribute)
{
    if (!d.HasType(ip_attribute))
        return QString();
    return i_entry["shared_file"][ip_attribute].AsString();
}

// The path of an upload's shared file on the local disk, with "/".
inline QString SharedFilePath(Item const& i_entry)
{
    QString l_path = SharedFileText(i_entry, "shared_file_folder") + "/" + SharedFileText(i_entry, "shared_file_name");
    return l_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// The live object whose address is the item's key; null for a null item.
template <class T>
T* ObjectAt(Item const& i_item)
{
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(i_item.AsUInt64()));
}

} // namespace TransferItems

#endif
