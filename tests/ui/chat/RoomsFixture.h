#ifndef QUILLMAR_TESTS_UI_CHAT_ROOMSFIXTURE_H
#define QUILLMAR_TESTS_UI_CHAT_ROOMSFIXTURE_H

// The Rooms page in the chat pages' world (ChatFixture.h), with what else
// the main window declares for it; rooms and members linked the way the
// server link links them; the tool bar driven through the keyboard focus, as
// a user drives it; and an in-test server that records every request.

#include "ChatFixture.h"
#include "tests/server/ServerTestHelpers.h"

#include "server/StoreTypes.h"
#include "store/windows/FocusWidget.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RoomsForm.h"
#include "ui/chat/SortedRows.h"
#include "ui_RoomForm.h"
#include "ui_RoomsForm.h"

#include <QAction>
#include <QtTest>

#include <functional>
#include <memory>

class RoomsFixture : public ChatFixture
{
protected:
    // i_before runs once the types exist and before the page is made (the
    // saved data's rooms, say).
    void StartPage(std::function<void()> const& i_before = {})
    {
        StartChat();
        mp_bar->Init();
        // What the main window declares for the pages besides the chat's.
        DeclareUserNoteType();
        if (i_before)
            i_before();
        mp_page = std::make_unique<RoomsForm>();
        mp_page->resize(900, 500);
        mp_page->Init();
        mp_page->show();
        mp_page->activateWindow();
        if (!QTest::qWaitForWindowActive(mp_page.get()))
            qWarning("the page's window did not become active");
    }

    void StopPage()
    {
        mp_page.reset();
        StopManagers();
        mp_fake.reset();
    }

    // Logs the link in to an in-test server that records the requests.
    bool LogInToFake()
    {
        mp_fake = std::make_unique<FakeServer>();
        PointAt(mp_fake->Port(), QStringLiteral("me"), QStringLiteral("pw"));
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        return mp_fake->AnswerLogin() && (l_connected.count() == 1 || l_connected.wait(WAIT_MS));
    }
    // The payload of the next request of that code, or "none".
    QByteArray Sent(quint32 i_code)
    {
        QByteArray l_payload;
        return mp_fake->mp_collector->Take(i_code, &l_payload) ? l_payload : QByteArray("none");
    }
    bool NoneSent(quint32 i_code) { return mp_fake->SentNone(i_code); }

    static Item RoomItem(QString const& i_name) { return d["room"]->GetItem(Value(i_name)); }
    static Item UserItem(QString const& i_name) { return d["user"]->GetItem(Value(i_name)); }

    // A member in the room with his statistics and country, linked in the
    // order the server link links them.
    static Item AddMember(QString const& i_room, QString const& i_name, QString const& i_country = QString(),
                          int i_speed = 0, int i_files = 0)
    {
        Item const l_user = UserItem(i_name);
        SetAttribute(l_user, "average_download_speed", Value(i_speed));
        SetAttribute(l_user, "shared_file_count", Value(i_files));
        SetAttribute(l_user, "country_code", Value(i_country));
        l_user += RoomItem(i_room);
        return l_user;
    }

    // The server link's join: the page comes with the "in_room" link.
    RoomForm* Join(QString const& i_room)
    {
        SetFlag(RoomItem(i_room), "in_room", true);
        return Page(i_room);
    }

    TabWidget* Tabs() const { return mp_page->Form()->roomsTabControl; }
    RoomForm* Page(QString const& i_room) const
    {
        for (int l_index = 0; l_index < Tabs()->count(); ++l_index)
            if (RoomForm* lp_page = qobject_cast<RoomForm*>(Tabs()->widget(l_index)))
                if (lp_page->Room() == i_room)
                    return lp_page;
        return nullptr;
    }
    QStringList TabTitles() const
    {
        QStringList l_titles;
        for (int l_index = 0; l_index < Tabs()->count(); ++l_index)
            l_titles << Tabs()->tabText(l_index);
        return l_titles;
    }

    static QStringList Column(QTreeWidget* ip_tree, int i_column)
    {
        QStringList l_texts;
        for (int l_index = 0; l_index < ip_tree->topLevelItemCount(); ++l_index)
            l_texts << ip_tree->topLevelItem(l_index)->text(i_column);
        return l_texts;
    }
    QTreeWidget* RoomList() const { return mp_page->Form()->roomList; }
    // The room list's names in their settled order (rows that came, went or
    // changed wait for a batch; these take it at once).
    QStringList Rooms() const
    {
        mp_page->RoomOrder()->Flush();
        return Column(RoomList(), 0);
    }
    QTreeWidgetItem* RoomRow(QString const& i_room) const
    {
        mp_page->RoomOrder()->Flush();
        return RoomList()->findItems(i_room, Qt::MatchExactly, 0).value(0);
    }
    static QStringList Members(RoomForm* ip_page)
    {
        ip_page->MemberOrder()->Flush();
        return Column(ip_page->Form()->userList, 2);
    }
    static QTreeWidgetItem* MemberRow(RoomForm* ip_page, QString const& i_name)
    {
        ip_page->MemberOrder()->Flush();
        return ip_page->Form()->userList->findItems(i_name, Qt::MatchExactly, 2).value(0);
    }

    // Gives the widget the keyboard focus, which puts its action set on the
    // bar with its action keys.
    static bool Focus(QWidget* ip_widget)
    {
        FocusWidgetAndParents(ip_widget);
        return WaitUntil([ip_widget]() { return QApplication::focusWidget() == ip_widget; });
    }
    QAction* BarAction(char const* ip_id) const
    {
        for (QAction* lp_action : mp_bar->actions())
            if (d["toolbar_action_object"]->HasItem(Value(lp_action))["toolbar_action"]["toolbar_action_id"].AsString() ==
                QLatin1String(ip_id))
                return lp_action;
        return nullptr;
    }
    // What the bar shows for the action: its text, "<hidden>", or "<absent>".
    QString Shown(char const* ip_id) const
    {
        QAction const* lp_action = BarAction(ip_id);
        return !lp_action ? QStringLiteral("<absent>")
                          : lp_action->isVisible() ? lp_action->text() : QStringLiteral("<hidden>");
    }
    // Triggers the action as shown on the bar for the focused widget.
    bool Trigger(QWidget* ip_focus, char const* ip_id)
    {
        if (!Focus(ip_focus))
            return false;
        QAction* lp_action = BarAction(ip_id);
        if (!lp_action)
            return false;
        lp_action->trigger();
        return true;
    }

    std::unique_ptr<RoomsForm> mp_page;
    std::unique_ptr<FakeServer> mp_fake;
};

#endif
