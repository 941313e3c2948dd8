#include "app/EventToolBar.h"
#include "app/Globals.h"
#include "app/TabWidget.h"
#include "store/Settings.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QTabBar>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

// A window with an outer tab row (pages "idle" and "chats") whose "chats"
// page holds an inner tab row (pages "alice" and "bob"); the events belong
// to the two inner pages. The main window's services and the sound player
// are recorders.
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
    QStringList m_balloons;
    QStringList m_sounds;
    QStringList m_icons; // "reset" for the state icon

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
        if (i_file.isEmpty())
            l_kind.Disconnect("event_sound_file");
        else
            l_kind += d["event_sound_file"]->GetItem(Value(i_file));
    }

private slots:
    void init()
    {
        d.Reset();
        DeclareSettingsTypes();
        m_active = false;
        m_balloons.clear();
        m_sounds.clear();
        m_icons.clear();
        MainWindowHooks l_hooks;
        l_hooks.m_isActive = [this]() { return m_active; };
        l_hooks.m_popupAlert = [this](QString const& i_text) { m_balloons << i_text; };
        l_hooks.m_setIcon = [this](QIcon const&) { m_icons << "set"; };
        l_hooks.m_resetIcon = [this]() { m_icons << "reset"; };
        SetMainWindowHooks(l_hooks);
        EventToolBar::SetSoundPlayer([this](QString const& i_file) { m_sounds << i_file; });

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
        SetSound("private_chat", "/sounds/chat.wav");
    }

    void cleanup()
    {
        // As at the program's end, the bar goes before the pages.
        delete mp_bar;
        mp_window.reset();
        SetMainWindowHooks(MainWindowHooks());
        QVERIFY(!eventToolBar);
    }

    void WhatAnEventDoesDependsOnWhereTheUserLooks_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("ownerShown");
        QTest::addColumn<bool>("blinks");
        QTest::addColumn<bool>("alerts"); // balloon and sound
        QTest::addColumn<bool>("button");
        QTest::newRow("active, owner shown") << true << true << false << false << false;
        QTest::newRow("active, owner hidden") << true << false << false << true << true;
        QTest::newRow("inactive, owner shown") << false << true << true << true << false;
        QTest::newRow("inactive, owner hidden") << false << false << true << true << true;
    }

    void WhatAnEventDoesDependsOnWhereTheUserLooks()
    {
        QFETCH(bool, active);
        QFETCH(bool, ownerShown);
        QFETCH(bool, blinks);
        QFETCH(bool, alerts);
        QFETCH(bool, button);
        m_active = active;
        ShowPage(ownerShown ? static_cast<QWidget*>(mp_bob) : mp_idle);
        Post(mp_bob);

        // The tab is marked at every level where it is not the current one.
        QColor const l_marked(Qt::blue);
        QCOMPARE(mp_outer->tabBar()->tabTextColor(1) == l_marked, !ownerShown);
        QCOMPARE(mp_inner->tabBar()->tabTextColor(1) == l_marked, false);
        QCOMPARE(mp_bar->IsBlinking(), blinks);
        QCOMPARE(m_balloons, alerts ? QStringList{"balloon"} : QStringList());
        QCOMPARE(m_sounds, alerts ? QStringList{"/sounds/chat.wav"} : QStringList());
        QCOMPARE(Buttons().size(), button ? 1 : 0);
        QCOMPARE(mp_bar->isVisible(), button);
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(button ? 1 : 0));
    }

    // Without force an owner keeps one button while the alerts repeat; with
    // force (users coming online) every event has its own.
    void ForceMakesAFurtherButton()
    {
        ShowPage(mp_idle);
        Post(mp_bob);
        Post(mp_bob);
        QCOMPARE(Buttons().size(), 1);
        QCOMPARE(m_sounds.size(), 2);
        QCOMPARE(m_balloons.size(), 2);
        Post(mp_bob, ":/icons/online_icon", true);
        QCOMPARE(Buttons().size(), 2);
    }

    void NoButtonsUnlessTheUserAskedForThem()
    {
        d["global"]->GetItem(Value("show_event_buttons")).Disconnect("global_value");
        ShowPage(mp_idle);
        Post(mp_bob);
        Post(mp_bob);
        QCOMPARE(m_sounds.size(), 2);
        QVERIFY(mp_bar->actions().isEmpty()); // the placeholder went
        QVERIFY(!mp_bar->isVisible());
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(0));

        // Buttons made before the option was turned off stay.
        SetSwitch("show_event_buttons", true);
        Post(mp_alice);
        SetSwitch("show_event_buttons", false);
        Post(mp_bob);
        QCOMPARE(Buttons().size(), 1);
    }

    void SoundFallsBackToTheDefault_data()
    {
        QTest::addColumn<QString>("kindFile");
        QTest::addColumn<QString>("defaultFile");
        QTest::addColumn<QStringList>("played");
        QTest::newRow("own file") << "/k.wav" << "/d.wav" << QStringList{"/k.wav"};
        QTest::newRow("default only") << "" << "/d.wav" << QStringList{"/d.wav"};
        QTest::newRow("neither") << "" << "" << QStringList();
    }

    void SoundFallsBackToTheDefault()
    {
        QFETCH(QString, kindFile);
        QFETCH(QString, defaultFile);
        QFETCH(QStringList, played);
        SetSound("private_chat", kindFile);
        SetSound("default", defaultFile);
        ShowPage(mp_idle);
        Post(mp_bob);
        mp_bar->AddEvent("Info", ":/icons/info_icon", mp_alice, "", "", false); // no sound kind
        QCOMPARE(m_sounds, played);
    }

    // One icon per second in path order, then the state icon; a repeated
    // icon blinks once per cycle; any focus change ends the blinking.
    void BlinkCycleAndItsEnd()
    {
        Post(mp_bob, ":/icons/room_icon");
        Post(mp_alice, ":/icons/chat_icon");
        Post(mp_bob, ":/icons/room_icon");
        QCOMPARE(QStringList(mp_bar->AlertIcons().begin(), mp_bar->AlertIcons().end()),
                 QStringList({":/icons/chat_icon", ":/icons/room_icon"}));
        m_icons.clear();
        for (int l_tick = 0; l_tick < 4; ++l_tick)
            mp_bar->OnIconAlertTimeout();
        QCOMPARE(m_icons, QStringList({"set", "set", "reset", "set"}));

        mp_bar->OnApplicationFocusChanged(nullptr, mp_alice);
        QVERIFY(!mp_bar->IsBlinking());
        QVERIFY(mp_bar->AlertIcons().empty());
        m_icons.clear();
        mp_bar->OnIconAlertTimeout();
        QVERIFY(m_icons.isEmpty());
    }

    // A click removes only its button, leads to the owner through both tab
    // rows, and the owner's record goes with its last button.
    void ClickingAButtonLeadsToItsOwner()
    {
        ShowPage(mp_idle);
        Post(mp_alice);
        Post(mp_alice, ":/icons/online_icon", true);
        QCOMPARE(Buttons().size(), 2);
        Buttons().first()->trigger();
        QCOMPARE(Buttons().size(), 1);
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(1));
        QCOMPARE(mp_outer->currentWidget(), static_cast<QWidget*>(mp_inner));
        QCOMPARE(mp_inner->currentWidget(), static_cast<QWidget*>(mp_alice));

        ShowPage(mp_idle);
        Buttons().first()->trigger();
        QVERIFY(Buttons().isEmpty());
        QVERIFY(!mp_bar->isVisible());
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(0));
        QCOMPARE(d["event_toolbar_action"]->GetItemCount(), std::size_t(0));
        QCOMPARE(mp_inner->currentWidget(), static_cast<QWidget*>(mp_alice));
    }

    // A page shown by the user clears its buttons; a destroyed page takes
    // its buttons and records with it, so no button can lead to a dead
    // widget.
    void ButtonsGoWithTheirOwner()
    {
        ShowPage(mp_idle);
        Post(mp_alice);
        Post(mp_bob);
        mp_bar->RemoveEvents(mp_alice);
        QCOMPARE(Buttons().size(), 1);
        QVERIFY(mp_bar->isVisible());

        delete mp_bob;
        QVERIFY(Buttons().isEmpty());
        QVERIFY(!mp_bar->isVisible());
        QCOMPARE(d["event_toolbar_widget"]->GetItemCount(), std::size_t(0));
        // The next event finds the bar as at the start.
        Post(mp_alice);
        QCOMPARE(Buttons().size(), 1);
    }
};

QTEST_MAIN(EventToolBarTest)
#include "EventToolBarTest.moc"
