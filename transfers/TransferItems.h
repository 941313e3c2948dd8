#ifndef QUILLMAR_TRANSFERS_TRANSFERITEMS_H
#define QUILLMAR_TRANSFERS_TRANSFERITEMS_H

// Small store helpers shared by the parts of the transfer engine.

#include "store/Data.h"
#include "store/Log.h"

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace TransferItems {

// The "user" item of that name (created when new).
inline Item UserItem(QString const& i_user)
{
    return d.GetType("user")->GetItem(Value(i_user));
}

// Date-times kept in items: local time, one-second resolution.
inline QString NowText(int i_secondsAhead = 0)
{
    return QDateTime::currentDateTime().addSecs(i_secondsAhead).toString(Qt::TextDate);
}

inline void SetUserTime(Item const& i_user, char const* ip_type, int i_secondsAhead)
{
    if (i_user.IsValid())
        i_user += d.GetType(ip_type)->GetItem(Value(NowText(i_secondsAhead)));
}

inline bool IsActiveStatus(Item const& i_status)
{
    return i_status.IsValid() && i_status.IsConnected("is_active");
}

inline void LogTransfer(int i_level, QString const& i_text, Item const& i_user = Item())
{
    Log("Transfer Queue", i_level, i_text, i_user);
}

// The live object whose address is the item's key; null for a null item.
template <class T>
T* ObjectAt(Item const& i_item)
{
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(i_item.AsUInt64()));
}

} // namespace TransferItems

#endif
