#include "server/WishListSearcher.h"

#include "server/Server.h"
#include "server/ServerLog.h"
#include "store/Data.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"

WishListSearcher* wishListSearcher = nullptr;

WishListSearcher::WishListSearcher(QObject* ip_parent) : QObject(ip_parent)
{
    wishListSearcher = this;
    connect(&TimerManager::Obj()->m_fiveMinutesTimer, &QTimer::timeout, this, &WishListSearcher::EveryFiveMinutes);
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

void WishListSearcher::EveryFiveMinutes()
{
    if (!gp_server || !gp_server->IsConnected() || !d.HasType("wish_list_item_enabled"))
        return;
    ItemSet const l_enabled = d.GetType("wish_list_item_enabled")->GetGlobalNullItem().GetItems("wish_list_item");
    if (l_enabled.empty())
        return;
    ItemList const l_ordered = l_enabled.SortAlphabetic(true, true);
    bool l_ok = false;
    int l_index = GetVSetting("wish_list_search_index").toInt(&l_ok);
    // The list may have shrunk since the last period.
    if (!l_ok || l_index < 0 || l_index >= int(l_ordered.size()))
        l_index = 0;
    QString const l_text = l_ordered[std::size_t(l_index)].AsString();
    ServerLog(1, QStringLiteral("Wish-list search for \"%1\"").arg(Isolated(l_text)));
    gp_server->FileSearch(l_text, l_text);
    SetVSetting("wish_list_search_index", QString::number(l_index + 1));
}
