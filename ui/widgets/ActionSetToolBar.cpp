#include "ui/widgets/ActionSetToolBar.h"

#include "ui/widgets/Globals.h"
#include "ui/widgets/OutsideText.h"
#include "store/Settings.h"

#include "server/AwayManager.h"
#include "server/Server.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>

ActionSetToolBar* actionBar = nullptr;

namespace {

struct TypeDeclaration
{
    char const* mp_name;
    Primacy m_primacy;
    bool m_isNull;
};

TypeDeclaration const s_types[] = {
    {"toolbar_action_set", ROOT, false},
    {"toolbar_action", ROOT, true},
    {"toolbar_action_id", ROOT, false},
    {"toolbar_action_order", LEAF, false},
    {"toolbar_action_widget", ROOT, false},
    {"action_key_value_pair", ROOT, true},
    {"action_key", INTERMEDIATE, false},
    {"action_value", LEAF, false},
    {"action_key_column_pair", ROOT, true},
    {"action_column", LEAF, false},
    {"active_action_key", ROOT, false},
    {"active_action_value", LEAF, false},
    {"widget_action_text", LEAF, false},
    {"widget_action_hidden", LEAF, true},
    {"toolbar_action_object", INTERMEDIATE, false},
    {"toolbar_action_icon", LEAF, false},
    {"toolbar_action_text", LEAF, false},
    {"needs_list_selection", LEAF, true},
};

struct RelationDeclaration
{
    char const* mp_first;
    char const* mp_second;
    OneOrMany m_a;
    OneOrMany m_b;
};

RelationDeclaration const s_relations[] = {
    {"toolbar_action_set", "toolbar_action", ONE, MANY},
    {"toolbar_action", "toolbar_action_id", MANY, ONE},
    {"toolbar_action", "toolbar_action_order", MANY, ONE},
    {"toolbar_action", "toolbar_action_icon", MANY, ONE},
    {"toolbar_action", "toolbar_action_text", MANY, ONE},
    {"toolbar_action", "needs_list_selection", MANY, ONE},
    {"toolbar_action_set", "toolbar_action_widget", ONE, MANY},
    {"action_key_value_pair", "toolbar_action_widget", MANY, ONE},
    {"action_key_value_pair", "action_key", MANY, ONE},
    {"action_key_value_pair", "action_value", MANY, ONE},
    {"action_key_column_pair", "toolbar_action_widget", MANY, ONE},
    {"action_key_column_pair", "action_key", MANY, ONE},
    {"action_key_column_pair", "action_column", MANY, ONE},
    {"active_action_key", "active_action_value", MANY, ONE},
    {"widget_action_text", "toolbar_action_widget", MANY, MANY},
    {"widget_action_text", "toolbar_action_id", MANY, MANY},
    {"widget_action_hidden", "toolbar_action_widget", MANY, ONE},
    {"widget_action_hidden", "toolbar_action_id", MANY, ONE},
    {"toolbar_action", "toolbar_action_object", ONE, ONE},
};

void DeclareToolBarTypes()
{
    // A bar made again in the same process (tests) finds its types there.
    if (d.HasType(s_types[0].mp_name))
        return;
    for (TypeDeclaration const& l_type : s_types)
        d.NewType(l_type.mp_name, l_type.m_primacy, l_type.m_isNull, true);
    for (RelationDeclaration const& l_relation : s_relations)
        d[l_relation.mp_first]->RelateToType(d[l_relation.mp_second], l_relation.m_a, l_relation.m_b, false);
}

bool IsAway()
{
    return AwayManager::Obj()->IsAway();
}

bool IsServerConnected()
{
    return gp_server && gp_server->IsConnected();
}

bool IsServerConnecting()
{
    return gp_server && gp_server->GetState() == Server::STATE_CONNECTING;
}

QString AwayStatusIcon(bool i_away)
{
    return i_away ? QStringLiteral(":/icons/away_icon") : QStringLiteral(":/icons/online_icon");
}

} // namespace

ActionSetToolBar::ActionSetToolBar(QWidget* ip_parent)
    : FoldingToolBar(ip_parent)
{
    actionBar = this;
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);
    DeclareToolBarTypes();
    AddSupportQuillmarButton();
}

ActionSetToolBar::~ActionSetToolBar()
{
    // No item may keep the address of an action that goes with the bar.
    if (!g_showIsOver && d.HasType("toolbar_action_object"))
        d["toolbar_action_object"]->RemoveAllItems();
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::Init()
{
    if (gp_server)
        connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this, &ActionSetToolBar::OnReceivedOwnPrivilegesStatus);
    connect(AwayManager::Obj(), &AwayManager::AwaySet, this, &ActionSetToolBar::OnAwaySet);
    m_initialised = true;
}

Item ActionSetToolBar::WidgetItem(QWidget* ip_widget) const
{
    if (!ip_widget)
        return Item();
    return d["toolbar_action_widget"]->HasItem(Value(ip_widget));
}

void ActionSetToolBar::AddSetAction(QString const& i_setName, QString const& i_actionId, QString const& i_text,
                                    QString const& i_iconPath, bool i_needsListSelection)
{
    Item l_action = d["toolbar_action_set"]->GetItem(Value(i_setName)).NewItem("toolbar_action");
    l_action += d["toolbar_action_id"]->GetItem(Value(i_actionId));
    l_action += d["toolbar_action_icon"]->GetItem(Value(i_iconPath));
    l_action += d["toolbar_action_text"]->GetItem(Value(i_text));
    l_action += d["toolbar_action_order"]->GetItem(Value(static_cast<unsigned long long>(m_nextActionOrder++)));
    if (i_needsListSelection)
        l_action += d["needs_list_selection"]->GetGlobalNullItem();
}

void ActionSetToolBar::AddSetActions(std::initializer_list<SetAction> i_actions)
{
    for (SetAction const& l_action : i_actions)
        AddSetAction(l_action.mp_set, l_action.mp_id, l_action.mp_text, l_action.mp_icon,
                     l_action.m_needsListSelection);
}

void ActionSetToolBar::RegisterWidget(QWidget* ip_widget, QString const& i_setName)
{
    if (!ip_widget)
        return;
    Item l_widget = d["toolbar_action_widget"]->GetItem(Value(ip_widget));
    l_widget += d["toolbar_action_set"]->GetItem(Value(i_setName));
    connect(ip_widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
}

void ActionSetToolBar::AddWidgetKey(QWidget* ip_widget, QString const& i_key, QString const& i_value)
{
    Item l_widget = WidgetItem(ip_widget);
    if (l_widget.IsNull())
        return;
    Item l_pair = d["action_key_value_pair"]->NewItem();
    l_pair += d["action_key"]->GetItem(Value(i_key));
    l_pair += d["action_value"]->GetItem(Value(i_value));
    l_pair += l_widget;
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* ip_widget, QString const& i_key, int i_column)
{
    Item l_widget = WidgetItem(ip_widget);
    if (l_widget.IsNull())
        return;
    Item l_pair = d["action_key_column_pair"]->NewItem();
    l_pair += d["action_key"]->GetItem(Value(i_key));
    l_pair += d["action_column"]->GetItem(Value(i_column));
    l_pair += l_widget;
}

QString ActionSetToolBar::GetKey(QString const& i_key) const
{
    return d["active_action_key"]->HasItem(Value(i_key))["active_action_value"].AsString();
}

void ActionSetToolBar::SetActiveKey(QString const& i_key, QString const& i_value)
{
    d["active_action_key"]->GetItem(Value(i_key)) += d["active_action_value"]->GetItem(Value(i_value));
}

void ActionSetToolBar::ForEachShownAction(Item const& i_id, std::function<void(QAction*)> const& i_apply)
{
    QList<QAction*> const l_shown = actions();
    for (Item const& l_object : d["toolbar_action_object"]->GetItems()) {
        if (l_object["toolbar_action"]["toolbar_action_id"] != i_id)
            continue;
        // Only addresses of actions still on the bar are trusted.
        for (QAction* lp_action : l_shown)
            if (Value(lp_action) == l_object.GetValue())
                i_apply(lp_action);
    }
}

void ActionSetToolBar::SetWidgetActionText(QWidget* ip_widget, QString const& i_actionId, QString const& i_text)
{
    if (g_showIsOver)
        return;
    Item l_widget = WidgetItem(ip_widget);
    Item l_id = d["toolbar_action_id"]->HasItem(Value(i_actionId));
    if (l_widget.IsNull() || l_id.IsNull())
        return;
    Item l_former = d.GetItem(l_widget, l_id, "widget_action_text");
    if (l_former.IsValid())
        l_widget.Disconnect(l_former);
    Item l_text = d["widget_action_text"]->GetItem(Value(i_text));
    l_text += l_widget;
    l_text += l_id;
    if (ip_widget == mp_shownWidget)
        ForEachShownAction(l_id, [&i_text](QAction* ip_action) { ip_action->setText(i_text); });
}

void ActionSetToolBar::SetWidgetActionHidden(QWidget* ip_widget, QString const& i_actionId, bool i_hidden)
{
    Item l_widget = WidgetItem(ip_widget);
    Item l_id = d["toolbar_action_id"]->HasItem(Value(i_actionId));
    if (l_widget.IsNull() || l_id.IsNull())
        return;
    Item l_mark = d.GetItem(l_widget, l_id, "widget_action_hidden");
    if (i_hidden) {
        if (l_mark.IsValid())
            return;
        l_mark = d["widget_action_hidden"]->NewItem();
        l_mark += l_widget;
        l_mark += l_id;
    } else if (l_mark.IsValid()) {
        l_mark.Remove();
    }
    if (ip_widget == mp_shownWidget)
        ForEachShownAction(l_id, [i_hidden](QAction* ip_action) { ip_action->setVisible(!i_hidden); });
}

void ActionSetToolBar::OnApplicationFocusChanged(QWidget* /*ip_oldWidget*/, QWidget* ip_widget)
{
    if (!m_initialised || g_showIsOver || m_inFocusChange || !ip_widget)
        return;
    m_inFocusChange = true;

    // Focus on a tab row, or on a tab widget, counts as focus on the page it
    // shows, through nested tab widgets.
    QWidget* lp_widget = ip_widget;
    for (;;) {
        QTabWidget* lp_tabs = qobject_cast<QTabWidget*>(lp_widget);
        if (QTabBar* lp_bar = qobject_cast<QTabBar*>(lp_widget))
            lp_tabs = qobject_cast<QTabWidget*>(lp_bar->parentWidget());
        if (!lp_tabs || !lp_tabs->currentWidget())
            break;
        lp_widget = lp_tabs->currentWidget();
    }

    mp_currentTree = nullptr;
    Item l_widgetItem;
    for (; lp_widget; lp_widget = lp_widget->parentWidget()) {
        l_widgetItem = WidgetItem(lp_widget);
        if (!mp_currentTree)
            mp_currentTree = qobject_cast<QTreeWidget*>(lp_widget);
        // The walk ends at the window: a dialog belongs to no page, even
        // when a page is its parent.
        if (l_widgetItem.IsValid() || lp_widget->isWindow())
            break;
    }

    if (l_widgetItem.IsNull()) {
        Clear();
        AddSupportQuillmarButton();
    } else {
        m_currentWidgetItem = l_widgetItem;
        ChangeSet(lp_widget, l_widgetItem["toolbar_action_set"].AsString());
        for (Item const& l_pair : l_widgetItem.GetItems("action_key_value_pair"))
            SetActiveKey(l_pair["action_key"].AsString(), l_pair["action_value"].AsString());
    }
    m_inFocusChange = false;
}

void ActionSetToolBar::ChangeSet(QWidget* ip_widget, QString const& i_setName)
{
    if (i_setName == m_currentSetName && ip_widget == mp_shownWidget)
        return;
    m_currentSetName = i_setName;
    mp_shownWidget = ip_widget;
    ClearAndDeleteActions();

    Item l_widget = WidgetItem(ip_widget);
    Item l_set = d["toolbar_action_set"]->GetItem(Value(i_setName));
    ItemList const l_actions = l_set.GetItems("toolbar_action").SortNumericBy("toolbar_action_order", true);
    for (Item const& l_action : l_actions) {
        Item l_id = l_action["toolbar_action_id"];
        QString l_text = l_action["toolbar_action_text"].AsString();
        Item l_override = l_widget.IsValid() ? d.GetItem(l_widget, l_id, "widget_action_text") : Item();
        if (l_override.IsValid())
            l_text = l_override.AsString();
        QAction* lp_action = addAction(QIcon(l_action["toolbar_action_icon"].AsString()), l_text);
        if (l_widget.IsValid() && d.GetItem(l_widget, l_id, "widget_action_hidden").IsValid())
            lp_action->setVisible(false);
        connect(lp_action, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        l_action += d["toolbar_action_object"]->GetItem(Value(lp_action));
    }
    AddSupportQuillmarButton();
}

void ActionSetToolBar::ClearAndDeleteActions()
{
    QList<QAction*> const l_actions = actions();
    for (QAction* lp_action : l_actions) {
        removeAction(lp_action);
        lp_action->deleteLater();
    }
    d["toolbar_action_object"]->RemoveAllItems();

    mp_statusButton = new QPushButton();
    ShowConnectionState();
    mp_statusButton->setFocusPolicy(Qt::NoFocus);
    addWidget(mp_statusButton);
    addWidget(new QLabel(QStringLiteral(" ")));
    connect(mp_statusButton, &QPushButton::clicked, this, &ActionSetToolBar::OnStatusButtonClicked);
}

void ActionSetToolBar::Clear()
{
    m_currentSetName.clear();
    ClearAndDeleteActions();
}

void ActionSetToolBar::OnActionTriggered(bool)
{
    QAction* lp_sender = qobject_cast<QAction*>(sender());
    if (!lp_sender)
        return;
    Item l_action = d["toolbar_action_object"]->HasItem(Value(lp_sender))["toolbar_action"];
    if (l_action.IsNull())
        return;

    if (mp_currentTree) {
        QList<QTreeWidgetItem*> const l_selected = mp_currentTree->selectedItems();
        if (l_selected.isEmpty()) {
            if (l_action.IsConnected("needs_list_selection"))
                return;
        } else {
            QTreeWidgetItem* lp_row = l_selected.first();
            for (Item const& l_pair : m_currentWidgetItem.GetItems("action_key_column_pair"))
                SetActiveKey(l_pair["action_key"].AsString(), lp_row->text(l_pair["action_column"].AsInt()));
        }
    }
    emit ActionTriggered(mp_shownWidget, l_action["toolbar_action_id"].AsString());
}

void ActionSetToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    if (g_showIsOver)
        return;
    // Compared by address only: the widget is being destroyed.
    if (mp_shownWidget && static_cast<void*>(ip_widget) == static_cast<void*>(mp_shownWidget)) {
        mp_shownWidget = nullptr;
        Clear();
        AddSupportQuillmarButton();
    }
    ForgetWidget(ip_widget);
}

// A widget made later at the same address must not inherit the keys, texts
// and hidden marks of this one, or a command could reach the wrong room or
// user: everything keyed by the address goes with the widget.
void ActionSetToolBar::ForgetWidget(QObject* ip_widget)
{
    Item l_widget = d["toolbar_action_widget"]->HasItem(Value(ip_widget));
    if (l_widget.IsNull())
        return;
    l_widget.GetItems("action_key_value_pair").Remove();
    l_widget.GetItems("action_key_column_pair").Remove();
    l_widget.GetItems("widget_action_hidden").Remove();
    if (m_currentWidgetItem == l_widget)
        m_currentWidgetItem = Item();
    l_widget.Remove();
}

void ActionSetToolBar::AddSupportQuillmarButton()
{
    addAction(QString());
    QWidget* lp_spacer = new QWidget();
    lp_spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    mp_supporterButton = new QPushButton();
    if (d.HasType("global"))
        UpdateSupporterButton();
    mp_supporterButton->setFocusPolicy(Qt::NoFocus);
    addWidget(lp_spacer);
    addWidget(mp_supporterButton);
    connect(mp_supporterButton, &QPushButton::clicked, this, &ActionSetToolBar::OnSupportQuillmarButtonClicked);
}

void ActionSetToolBar::UpdateSupporterButton()
{
    if (!mp_supporterButton)
        return;
    // 64 bits: a privilege time near the top of the int range must not wrap
    // when rounded.
    qint64 l_seconds = GetSettingInt("privileges_time_left");
    // The button may be one shown before the status changed: every part is
    // set anew, so no text, star or tip of the old status stays.
    bool const l_supporter = IsSettingYes("is_supporter");
    mp_supporterButton->setIcon(l_supporter ? QIcon(QStringLiteral(":/icons/gold_star_icon")) : QIcon());
    mp_supporterButton->setToolTip(l_supporter ? QStringLiteral("Thank you for supporting Quillmar!")
                                               : QString());
    QString l_text = l_supporter ? QString() : QStringLiteral("Support Quillmar!");
    if (l_seconds > 0)
        l_text = QStringLiteral("%1 Days Left").arg((l_seconds + 43200) / 86400);
    mp_supporterButton->setText(l_text);
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int)
{
    UpdateSupporterButton();
}

QUrl ActionSetToolBar::SupporterPageUrl(QString const& i_username)
{
    return QUrl::fromEncoded(QByteArray("http://") + g_webHost + "/qtlogin.php?username=" +
                             QUrl::toPercentEncoding(i_username));
}

void ActionSetToolBar::OnSupportQuillmarButtonClicked()
{
    if (g_showIsOver)
        return;
    QDesktopServices::openUrl(SupporterPageUrl(GetSetting("username")));
}

void ActionSetToolBar::OnStatusButtonClicked()
{
    if (g_showIsOver)
        return;
    AwayManager::Obj()->SetAway(!AwayManager::Obj()->IsAway());
}

void ActionSetToolBar::ShowConnectionState()
{
    if (!mp_statusButton)
        return;
    // The availability is the user's choice and holds offline too (it is
    // told to the server at the next login), but the button must not look
    // "Available" while nobody can see the user at all.
    bool const l_away = IsAway();
    QString l_state;
    if (IsServerConnected())
        l_state = l_away ? QStringLiteral("Away") : QStringLiteral("Available");
    else if (IsServerConnecting())
        l_state = QStringLiteral("Connecting...");
    else
        l_state = l_away ? QStringLiteral("Offline, away") : QStringLiteral("Offline");
    QString const l_user = d.HasType("global") ? GetSetting("username") : QString();
    mp_statusButton->setIcon(QIcon(IsServerConnected() ? AwayStatusIcon(l_away) : QStringLiteral(":/icons/offline_icon")));
    mp_statusButton->setText(StatusText(l_user, l_state));
}

QString ActionSetToolBar::StatusText(QString const& i_username, QString const& i_state)
{
    return i_username.isEmpty() ? i_state : QStringLiteral("%1: %2").arg(LiteralTitle(i_username), i_state);
}

void ActionSetToolBar::OnAwaySet(bool i_away)
{
    ShowConnectionState();
    if (IsServerConnected() && (!i_away || IsSettingYes("show_away_status_in_application_icon")))
        SetApplicationIcon(AwayStatusIcon(i_away));
}
