#include "ui/widgets/EventToolBar.h"

#include "ui/widgets/Globals.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/TabWidget.h"
#include "store/Settings.h"
#include "store/windows/FocusWidget.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QSound>

EventToolBar* eventToolBar = nullptr;

namespace {

std::function<void(QString const&)>& SoundPlayer()
{
    static std::function<void(QString const&)> s_player = [](QString const& i_file) { QSound::play(i_file); };
    return s_player;
}

void DeclareEventTypes()
{
    // A bar made again in the same process (tests) finds its types there.
    if (!d.HasType("event_toolbar_action")) {
        d.NewType("event_toolbar_action", ROOT, false, true);
        d.NewType("event_toolbar_widget", ROOT, false, true);
        d.NewType("event_sound", ROOT, false, true);
        d.NewType("event_sound_file", LEAF, false, true);
        d["event_toolbar_action"]->RelateToType(d["event_toolbar_widget"], MANY, ONE, false);
        d["event_sound"]->RelateToType(d["event_sound_file"], MANY, ONE, false);
    }
    if (dataSaver) {
        dataSaver->AddSavedType("event_sound");
        dataSaver->AddSavedType("event_sound_file");
    }
}

Value KeyOf(QObject const* ip_object)
{
    return Value(ip_object);
}

} // namespace

EventToolBar::EventToolBar(QWidget* ip_parent)
    : FoldingToolBar(ip_parent)
{
    setMovable(false);
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    AddPlaceholder();
    m_blinkTimer.setInterval(1000);
    connect(&m_blinkTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
    setVisible(false);
    DeclareEventTypes();
    eventToolBar = this;
}

EventToolBar::~EventToolBar()
{
    // No record may keep the address of a button that goes with the bar.
    if (!g_showIsOver) {
        d["event_toolbar_action"]->RemoveAllItems();
        d["event_toolbar_widget"]->RemoveAllItems();
    }
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

void EventToolBar::SetSoundPlayer(std::function<void(QString const&)> i_player)
{
    SoundPlayer() = std::move(i_player);
}

QString EventToolBar::SoundFile(QString const& i_kind)
{
    // Looked up without creating: a kind nobody chose a file for stays out
    // of the data file.
    auto l_file = [](QString const& i_name) {
        return d["event_sound"]->HasItem(Value(i_name))["event_sound_file"].AsString();
    };
    QString l_path = l_file(i_kind);
    if (l_path.isEmpty())
        l_path = l_file(QStringLiteral("default"));
    return l_path;
}

void EventToolBar::AddPlaceholder()
{
    addAction(QString());
    m_placeholder = true;
}

void EventToolBar::AddEvent(QString const& i_text, QString const& i_icon, QWidget* ip_owner,
                            QString const& i_balloon, QString const& i_soundKind, bool i_force)
{
    TabWidget::MarkTabActivity(ip_owner);
    bool const l_active = IsMainWindowActive();
    if (!l_active) {
        if (m_alertIcons.empty()) {
            m_blinkPosition = 0;
            m_blinkTimer.start();
        }
        m_alertIcons.insert(i_icon);
    }
    // Without an owner there is no page to lead back to.
    bool const l_ownerVisible = !ip_owner || ip_owner->isVisible();
    if (l_active && l_ownerVisible)
        return;
    if (!i_balloon.isEmpty())
        PopupAlert(i_balloon);
    if (!i_soundKind.isEmpty()) {
        QString const l_sound = SoundFile(i_soundKind);
        if (!l_sound.isEmpty() && SoundPlayer())
            SoundPlayer()(l_sound);
    }
    if (l_ownerVisible)
        return;
    if (!i_force && d["event_toolbar_widget"]->HasItem(KeyOf(ip_owner)).IsValid())
        return;
    if (m_placeholder) {
        clear();
        m_placeholder = false;
    }
    if (!IsSettingYes("show_event_buttons"))
        return;
    // The text is a user's, a room's or a search's: the bar lays its
    // buttons out again at each new one, so it shows the start, as a tab.
    QAction* lp_action = addAction(QIcon(i_icon), TabTitle(i_text));
    lp_action->setToolTip(LiteralToolTip(Isolated(i_text)));
    connect(lp_action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    d["event_toolbar_action"]->GetItem(KeyOf(lp_action)) += d["event_toolbar_widget"]->GetItem(KeyOf(ip_owner));
    connect(ip_owner, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
    setVisible(true);
}

void EventToolBar::RemoveButton(QAction* ip_action)
{
    removeAction(ip_action);
    delete ip_action;
    if (actions().isEmpty()) {
        AddPlaceholder();
        setVisible(false);
    }
}

void EventToolBar::OnActionTriggered()
{
    if (g_showIsOver)
        return;
    QAction* lp_action = qobject_cast<QAction*>(sender());
    Item l_action = d["event_toolbar_action"]->HasItem(KeyOf(lp_action));
    if (!lp_action || l_action.IsNull())
        return;
    Item l_owner = l_action["event_toolbar_widget"];
    // A record exists only while its widget does (it goes on destroyed()).
    QWidget* lp_owner = reinterpret_cast<QWidget*>(static_cast<quintptr>(l_owner.AsUInt64()));
    RemoveButton(lp_action);
    l_action.Remove();
    if (l_owner.CountItems("event_toolbar_action") == 0)
        l_owner.Remove();
    if (lp_owner)
        FocusWidgetAndParents(lp_owner);
}

void EventToolBar::RemoveEvents(QWidget* ip_widget)
{
    RemoveEventsOf(ip_widget);
}

void EventToolBar::RemoveEventsOf(QObject* ip_object)
{
    Item l_owner = d["event_toolbar_widget"]->HasItem(KeyOf(ip_object));
    if (l_owner.IsNull())
        return;
    for (Item const& l_action : l_owner.GetItems("event_toolbar_action")) {
        RemoveButton(reinterpret_cast<QAction*>(static_cast<quintptr>(l_action.AsUInt64())));
        l_action.Remove();
    }
    l_owner.Remove();
}

void EventToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    if (g_showIsOver)
        return;
    RemoveEventsOf(ip_widget);
}

void EventToolBar::OnIconAlertTimeout()
{
    if (m_alertIcons.empty())
        return;
    if (m_blinkPosition >= m_alertIcons.size()) {
        m_blinkPosition = 0;
        ResetApplicationIcon();
        return;
    }
    SetApplicationIcon(*std::next(m_alertIcons.begin(), static_cast<long>(m_blinkPosition)));
    ++m_blinkPosition;
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*)
{
    if (g_showIsOver)
        return;
    m_alertIcons.clear();
    m_blinkTimer.stop();
    ResetApplicationIcon();
}
