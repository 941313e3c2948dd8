#ifndef QUILLMAR_UI_WIDGETS_ACTIONSETTOOLBAR_H
#define QUILLMAR_UI_WIDGETS_ACTIONSETTOOLBAR_H

#include "ui/widgets/FoldingToolBar.h"
#include "store/Data.h"

#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <initializer_list>

#include <QPushButton>
#include <QTreeWidget>

// The main window's command bar. Pages declare named sets of actions and
// register their widgets under a set's name; the bar shows the set of the
// registered widget that holds the keyboard focus. When an action fires it
// brings the key table up to date (fixed keys of the widget, or cells of the
// selected tree row) and emits ActionTriggered with the widget and the id.
// Its whole model lives in the store, in types of its own that are never
// saved.
class ActionSetToolBar : public FoldingToolBar
{
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* ip_parent = nullptr);
    ~ActionSetToolBar() override;

    // Follows the server's privileges and the away status, and opens the bar
    // to focus changes.
    void Init();

    void AddSetAction(QString const& i_setName, QString const& i_actionId, QString const& i_text,
                      QString const& i_iconPath, bool i_needsListSelection);
    // A page's actions as one table, added in its order.
    struct SetAction
    {
        char const* mp_set;
        char const* mp_id;
        char const* mp_text;
        char const* mp_icon;
        bool m_needsListSelection = false;
    };
    void AddSetActions(std::initializer_list<SetAction> i_actions);
    void RegisterWidget(QWidget* ip_widget, QString const& i_setName);
    void AddWidgetKey(QWidget* ip_widget, QString const& i_key, QString const& i_value);
    void AddWidgetColumnKey(QWidget* ip_widget, QString const& i_key, int i_column);
    QString GetKey(QString const& i_key) const;
    void SetWidgetActionText(QWidget* ip_widget, QString const& i_actionId, QString const& i_text);
    void SetWidgetActionHidden(QWidget* ip_widget, QString const& i_actionId, bool i_hidden);

    void ChangeSet(QWidget* ip_widget, QString const& i_setName);
    void Clear();
    void ClearAndDeleteActions();
    void AddSupportQuillmarButton();

    QString CurrentSetName() const { return m_currentSetName; }
    QWidget* ShownWidget() const { return mp_shownWidget; }
    QPushButton* StatusButton() const { return mp_statusButton; }
    // The status button says as whom the client is connected, connecting or
    // offline, and whether the user is away; the main window calls this
    // when the link or the user name changes.
    void ShowConnectionState();
    QPushButton* SupporterButton() const { return mp_supporterButton; }

    // The supporter page for a user: the name is percent-encoded, so that no
    // character of it can change the address.
    static QUrl SupporterPageUrl(QString const& i_username);
    // The status button's text: the own name (empty before there is one)
    // and the state.
    static QString StatusText(QString const& i_username, QString const& i_state);

signals:
    void ActionTriggered(QWidget* ip_widget, QString i_action);

public slots:
    void OnActionTriggered(bool i_checked);
    void OnApplicationFocusChanged(QWidget* ip_oldWidget, QWidget* ip_widget);
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnStatusButtonClicked();
    void OnSupportQuillmarButtonClicked();
    void OnAwaySet(bool i_away);
    void OnReceivedOwnPrivilegesStatus(int i_seconds);

private:
    Item WidgetItem(QWidget* ip_widget) const;
    void SetActiveKey(QString const& i_key, QString const& i_value);
    void UpdateSupporterButton();
    void ForEachShownAction(Item const& i_id, std::function<void(QAction*)> const& i_apply);
    void ForgetWidget(QObject* ip_widget);

    QString m_currentSetName;
    Item m_currentWidgetItem;
    QPointer<QTreeWidget> mp_currentTree;
    QWidget* mp_shownWidget = nullptr;
    quint64 m_nextActionOrder = 0;
    bool m_inFocusChange = false;
    QPointer<QPushButton> mp_supporterButton;
    QPointer<QPushButton> mp_statusButton;
    bool m_initialised = false;
};

extern ActionSetToolBar* actionBar;

#endif
