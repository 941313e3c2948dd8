#include "ui/widgets/UserPageHooks.h"

#include <QObject>

namespace {

UserPageHooks& Hooks()
{
    static UserPageHooks s_hooks;
    return s_hooks;
}

} // namespace

void SetUserPageHooks(UserPageHooks i_hooks)
{
    Hooks() = std::move(i_hooks);
}

std::unique_ptr<QObject> AddUserMenu(QMenu* ip_menu, QString const& i_user)
{
    return Hooks().m_addUserMenu ? Hooks().m_addUserMenu(ip_menu, i_user) : nullptr;
}

void ShowUserNote(QString const& i_user)
{
    if (Hooks().m_showUserNote)
        Hooks().m_showUserNote(i_user);
}
