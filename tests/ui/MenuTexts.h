#ifndef QUILLMAR_TESTS_UI_MENUTEXTS_H
#define QUILLMAR_TESTS_UI_MENUTEXTS_H

// What a context menu shows, as the pages' tests compare it.

#include <QMenu>
#include <QStringList>

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

#endif
