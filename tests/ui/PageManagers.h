#ifndef QUILLMAR_TESTS_UI_PAGEMANAGERS_H
#define QUILLMAR_TESTS_UI_PAGEMANAGERS_H

// The managers a page talks to, as the main window makes them.

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "peers/PeerMessenger.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "tests/ManagerSet.h"
#include "transfers/TransferQueueManager.h"
#include "ui/widgets/UserPageHooks.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <QtTest>

// Stands in for the users page's hook: the user menu for a name is one
// entry that names him, after what the page put in the menu.
inline void FakeUserMenu()
{
    UserPageHooks l_hooks;
    l_hooks.m_addUserMenu = [](QMenu* ip_menu, QString const& i_user) -> std::unique_ptr<QObject> {
        ip_menu->addAction("user menu of " + i_user);
        return std::make_unique<QObject>();
    };
    SetUserPageHooks(l_hooks);
}

// What the page's menu shows at a click (the menu closed at once), entries
// of submenus left out.
template <class Show>
QStringList ShownMenu(Show const& i_show)
{
    QStringList l_shown;
    QTimer::singleShot(0, [&l_shown] {
        auto* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        for (QAction* lp_action : lp_menu ? lp_menu->actions() : QList<QAction*>())
            l_shown << (lp_action->isSeparator() ? QString("-") : lp_action->text());
        if (lp_menu)
            lp_menu->close();
    });
    i_show();
    return l_shown;
}

using PageManagers = ManagerSet<ActionSetToolBar, Server, PeerMessenger, DelayedInvoker, SharedFoldersManager,
                                TransferQueueManager, EventToolBar>;

#endif
