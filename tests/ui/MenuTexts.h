#ifndef QUILLMAR_TESTS_UI_MENUTEXTS_H
#define QUILLMAR_TESTS_UI_MENUTEXTS_H

// What a context menu shows, as the pages' tests compare it, and a stand-in
// for the user menu that the users page adds to the other pages' menus.

#include "ui/widgets/UserPageHooks.h"

#include <QApplication>
#include <QMenu>
#include <QStringList>
#include <QTimer>

#include <memory>

// "-" for a separator, a submenu as "title[entry,entry]", as it shows when
// it opens (a menu may fill a submenu only then).
inline QStringList MenuTexts(QMenu const& i_menu)
{
    QStringList l_texts;
    for (QAction* lp_action : i_menu.actions()) {
        if (lp_action->isSeparator())
            l_texts << "-";
        else if (lp_action->menu() && (emit lp_action->menu()->aboutToShow(), true))
            l_texts << lp_action->text() + "[" + MenuTexts(*lp_action->menu()).join(',') + "]";
        else
            l_texts << lp_action->text();
    }
    return l_texts;
}

// The action of that text in the menu or its submenus, depth first.
inline QAction* MenuAction(QMenu const& i_menu, QString const& i_text)
{
    for (QAction* lp_action : i_menu.actions()) {
        if (lp_action->text() == i_text && !lp_action->menu())
            return lp_action;
        if (lp_action->menu()) {
            emit lp_action->menu()->aboutToShow();
            if (QAction* lp_found = MenuAction(*lp_action->menu(), i_text))
                return lp_found;
        }
    }
    return nullptr;
}

// Stands in for the users page's hooks: the user menu for a name is one
// entry that names him, after what the page put in the menu; the users
// whose notes are asked for are written down.
inline void FakeUserMenu(QStringList* op_notesShown = nullptr)
{
    UserPageHooks l_hooks;
    l_hooks.m_addUserMenu = [](QMenu* ip_menu, QString const& i_user) -> std::unique_ptr<QObject> {
        ip_menu->addAction("user menu of " + i_user);
        return std::make_unique<QObject>();
    };
    l_hooks.m_showUserNote = [op_notesShown](QString const& i_user) {
        if (op_notesShown)
            *op_notesShown << i_user;
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

#endif
