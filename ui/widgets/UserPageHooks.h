#ifndef QUILLMAR_UI_WIDGETS_USERPAGEHOOKS_H
#define QUILLMAR_UI_WIDGETS_USERPAGEHOOKS_H

// What the pages below the users page (search results, transfers, rooms,
// private chats) reach of it: the user menu and a user's note dialog. The
// users page (ui/users/) fills the hooks when it is made; until it does, a
// menu gets no user entries and no note dialog opens.

#include <QString>

#include <functional>
#include <memory>

class QMenu;
class QObject;

struct UserPageHooks
{
    std::function<std::unique_ptr<QObject>(QMenu*, QString const&)> m_addUserMenu;
    std::function<void(QString const&)> m_showUserNote;
};
void SetUserPageHooks(UserPageHooks i_hooks);

// Appends the user menu's entries for the user to the menu (after a
// separator when the menu holds entries already). The object returned
// carries out the chosen entry while the menu runs: keep it until
// QMenu::exec has returned. Null, and nothing added, without the users page.
std::unique_ptr<QObject> AddUserMenu(QMenu* ip_menu, QString const& i_user);
// Opens the user's note dialog, or brings his open one forward.
void ShowUserNote(QString const& i_user);

#endif
