#include "ui/widgets/EventToolBar.h"
#include "tests/app/OverflowFolding.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/TabWidget.h"
#include "store/Settings.h"

#include <QLineEdit>
#include <QMainWindow>
#include <QTabBar>
#include <QtTest>

#include <memory>

// Whether the window is active and the owner's page shown; the alerts, the
// blinking and the button that follow.
struct LookCase { bool m_active, m_ownerShown; QStringList m_alerts; bool m_blinks, m_button; };
Q_DECLARE_METATYPE(LookCase)

// An outer tab row (pages "idle" and "chats") whose "chats" page holds an
// inner row (pages "alice" and "bob"), the owners of the events. The main
// window's services and the sound player are recorders.
class EventToolBarTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QMainWindow> mp_window;
    EventToolBar* mp_bar = nullptr;
    TabWidget* mp_outer = nullptr;
    TabWidget* mp_inner = nullptr;
    QWidget* mp_idle = nullptr;
    QLineEdit* mp_alice = nullptr;
    QLineEdit* mp_bob = nullptr;
    bool m_active = false;
    QStringList m_alerts; // "balloon", "sound <file>", "icon", "state icon"

    QList<QAction*> Buttons() const
    {
        QList<QAction*> l_buttons;
        for (QAction* lp_action : mp_bar->actions())
            if (!lp_action->text().isEmpty())
                l_buttons << lp_action;
        return l_buttons;
    }

    void Post(QWidget* ip_owner, QString const& i_icon = ":/icons/chat_icon", bool i_force = false)
    {
        mp_bar->AddEvent("Chat", i_icon, ip_owner, "balloon", "private_chat", i_force);
    }

    // The idle page leaves bob current on the inner row.
    void ShowPage(QWidget* ip_page)
    {
        mp_inner->setCurrentWidget(ip_page == mp_idle ? mp_bob : ip_page);
        mp_outer->setCurrentWidget(ip_page == mp_idle ? mp_idle : mp_inner);
    }

    static void SetSound(char const* ip_kind, QString const& i_file)
    {
        Item l_kind = d["event_sound"]->GetItem(Value(ip_kind));
        l_kind.Disconnect("event_sound_file");
        if (!i_file.isEmpty())
            l_kind += d["event_sound_file"]->GetItem(Value(i_file));
    }

private slots:
    void init()
    {
        d.Reset();
        DeclareSettingsTypes();
        m_active = false;
        m_alerts.clear();
        MainWindowHooks l_hooks;
        l_hooks.m_isActive = [this]() { return m_active; };
        l_hooks.m_popupAlert = [this](QString const&) { m_alerts << "balloon"; };
        l_hooks.m_setIcon = [this](QIcon const&) { m_alerts << "icon"; };
        l_hooks.m_resetIcon = [this]() { m_alerts << "state icon"; };
        SetMainWindowHooks(l_hooks);
        EventToolBar::SetSoundPlayer([this](QString const& i_file) { m_alerts << "sound " + i_file; });

        mp_window.reset(new QMainWindow);
        mp_outer = new TabWidget;
        mp_idle = new QWidget;
        mp_inner = new TabWidget;
        mp_alice = new QLineEdit;
        mp_bob = new QLineEdit;
        mp_inner->addTab(mp_alice, "alice");
        mp_inner->addTab(mp_bob, "bob");
        mp_outer->addTab(mp_idle, "idle");
        mp_outer->addTab(mp_inner, "chats");
        mp_window->setCentralWidget(mp_outer);
        mp_bar = new EventToolBar;
        mp_window->addToolBar(mp_bar);
        mp_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(mp_window.get()));
        SetSwitch("show_event_buttons", true);
        SetSound("private_chat", "/chat.wav");
        ShowPage(mp_idle);
    }

    void cleanup()
    {
        // As at the program's end, the bar goes before the pages.
        delete mp_bar;
        mp_window.reset();
        SetMainWindowHooks(MainWindowHooks());
    }

    void WhatAnEventDoesDependsOnWhereTheUserLooks_data()
    {
        QTest::addColumn<LookCase>("row");
        QStringList const l_alerts = {"balloon", "sound /chat.wav"};
        QTest::newRow("active, owner shown") << LookCase{true, true, {}, false, false};
        QTest::newRow("active, owner hidden") << LookCase{true, false, l_alerts, false, true};
        QTest::newRow("inactive, owner shown") << LookCase{false, true, l_alerts, true, false};
        QTest::newRow("inactive, owner hidden") << LookCase{false, false, l_alerts, true, true};
    }

    void WhatAnEventDoesDependsOnWhereTheUserLooks()
    {
        QFETCH(LookCase, row);
        m_active = row.m_active;
        ShowPage(row.m_ownerShown ? static_cast<QWidget*>(mp_bob) : mp_idle);
        m_alerts.clear();
        Post(mp_bob);
        // The tab is marked at every level where it is not the current one.
        QCOMPARE(mp_outer->tabBar()->tabTextColor(1) == QColor(Qt::blue), !row.m_ownerShown);
        QCOMPARE(mp_inner->tabBar()->tabTextColor(1) == QColor(Qt::blue), false);
        QCOMPARE(m_alerts, row.m_alerts);
        QCOMPARE(mp_bar->IsBlinking(), row.m_blinks);
        QCOMPARE(Buttons().size(), row.m_button ? 1 : 0);
        QCOMPARE(mp_bar->isVisible(), row.m_button);
    }

    // Without force an owner keeps one button while the alerts repeat; with
    // force every event has its own. Without "show_event_buttons" nothing
    // makes a button, and buttons made before stay.
    void ButtonsPerOwner()
    {
        Post(mp_bob);
        Post(mp_bob);
        QCOMPARE(Buttons().size(), 1);
        QCOMPARE(m_alerts.count("sound /chat.wav"), 2);
        Post(mp_bob, ":/icons/online_icon", true);
        QCOMPARE(Buttons().size(), 2);
        SetSwitch("show_event_buttons", false);
        Post(mp_alice);
        QCOMPARE(Buttons().size(), 2);
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(1));
    }

    // A sender's name of thousands of characters: the button shows its
    // start, the tool tip the whole.
    void ButtonShowsTheStartOfALongName()
    {
        QString const l_name = QString(25, 'n') + QString(" \u05D0").repeated(1000);
        mp_bar->AddEvent(l_name, ":/icons/chat_icon", mp_bob, "balloon", "private_chat", false);
        QCOMPARE(Buttons().size(), 1);
        QCOMPARE(Buttons().first()->text(), QString(20, 'n') + "\u2026");
        QVERIFY(Buttons().first()->toolTip().contains(l_name.toHtmlEscaped()));
    }

    // A kind without a file plays the default sound; an event without a kind plays nothing.
    void SoundFallsBackToTheDefault()
    {
        struct Case { char const* mp_kindFile; char const* mp_defaultFile; QStringList m_played; };
        Case const l_cases[] = {
            {"/k.wav", "/d.wav", {"sound /k.wav"}}, {"", "/d.wav", {"sound /d.wav"}}, {"", "", {}}};
        for (auto const& l_case : l_cases) {
            SetSound("private_chat", l_case.mp_kindFile);
            SetSound("default", l_case.mp_defaultFile);
            m_alerts.clear();
            Post(mp_bob);
            mp_bar->AddEvent("Info", ":/icons/info_icon", mp_alice, "", "", false);
            QCOMPARE(m_alerts.filter("sound"), l_case.m_played);
        }
    }

    // One icon a second in path order, then the state icon; a repeated icon
    // blinks once per cycle; any focus change ends the blinking.
    void BlinkCycleAndItsEnd()
    {
        Post(mp_bob, ":/icons/room_icon");
        Post(mp_alice, ":/icons/chat_icon");
        Post(mp_bob, ":/icons/room_icon");
        QCOMPARE(QStringList(mp_bar->AlertIcons().begin(), mp_bar->AlertIcons().end()),
                 QStringList({":/icons/chat_icon", ":/icons/room_icon"}));
        m_alerts.clear();
        for (int l_tick = 0; l_tick < 4; ++l_tick)
            mp_bar->OnIconAlertTimeout();
        QCOMPARE(m_alerts, QStringList({"icon", "icon", "state icon", "icon"}));
        mp_bar->OnApplicationFocusChanged(nullptr, mp_alice);
        QVERIFY(!mp_bar->IsBlinking() && mp_bar->AlertIcons().empty());
    }

    // A click removes its button only and leads to the owner through both
    // tab rows; the owner's record goes with its last button. A page shown
    // or destroyed takes its buttons with it, so none leads to a dead widget.
    void ButtonsLeadToTheirOwnerAndGoWithIt()
    {
        Post(mp_alice);
        Post(mp_alice, ":/icons/online_icon", true);
        Buttons().first()->trigger();
        QCOMPARE(Buttons().size(), 1);
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(1));
        QVERIFY(mp_outer->currentWidget() == mp_inner && mp_inner->currentWidget() == mp_alice);
        Buttons().first()->trigger();
        QVERIFY(Buttons().isEmpty() && !mp_bar->isVisible());
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(0));

        ShowPage(mp_idle);
        Post(mp_alice);
        Post(mp_bob);
        mp_bar->RemoveEvents(mp_alice);
        QCOMPARE(Buttons().size(), 1);
        delete mp_bob;
        QVERIFY(Buttons().isEmpty() && !mp_bar->isVisible());
        QCOMPARE(d["event_toolbar_action"]->GetItemCount() + d["event_toolbar_widget"]->GetItemCount(), std::size_t(0));
    }

    // A button that goes while the opened » overflow folds back (the
    // pointer left the bar): once folded, the next one takes its place.
    void ButtonGoneWhileTheOverflowFolds()
    {
        mp_window->resize(120, 300);
        for (int l_button = 0; l_button < 3; ++l_button)
            Post(mp_bob, ":/icons/chat_icon", true);
        QTRY_VERIFY(OffersOverflow(mp_bar) && !mp_bar->widgetForAction(Buttons().at(1))->isVisible());
        int const l_foldedHeight = OpenOverflowAndLeave(mp_bar);
        QVERIFY(l_foldedHeight > 0);
        Buttons().first()->trigger();
        QCOMPARE(Buttons().size(), 2);
        QTRY_COMPARE(mp_bar->height(), l_foldedHeight);
        QTRY_VERIFY(mp_bar->widgetForAction(Buttons().first())->isVisible());
    }
};

QTEST_MAIN(EventToolBarTest)
#include "EventToolBarTest.moc"
