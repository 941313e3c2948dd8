#include "server/AwayManager.h"

#include "server/Server.h"
#include "server/ServerLog.h"
#include "store/Settings.h"

#include <QCoreApplication>
#include <QMetaObject>

AwayManager* AwayManager::Obj()
{
    static AwayManager* sp_manager = nullptr;
    if (!sp_manager)
        sp_manager = new AwayManager;
    return sp_manager;
}

AwayManager::AwayManager()
{
    // The application object that reports idleness belongs to the shell,
    // which links against us; its signals are looked up by name.
    QCoreApplication* lp_app = QCoreApplication::instance();
    if (!lp_app)
        return;
    QMetaObject const* lp_meta = lp_app->metaObject();
    if (lp_meta->indexOfSignal("UserActivityIdle()") >= 0)
        connect(lp_app, SIGNAL(UserActivityIdle()), this, SLOT(OnUserActivityIdle()));
    if (lp_meta->indexOfSignal("UserActivityResumed()") >= 0)
        connect(lp_app, SIGNAL(UserActivityResumed()), this, SLOT(OnUserActivityResumed()));
    // Dies with the application, whose event loop it lives in.
    setParent(lp_app);
}

bool AwayManager::IsAway() const
{
    return GetSetting("availability_status") == QLatin1String("away");
}

void AwayManager::SetAway(bool i_away)
{
    m_manualAway = i_away;
    m_autoAway = false;
    Apply(i_away);
}

bool AwayManager::IsAutoAwayOnIdle() const
{
    return IsSettingYes("auto_away_on_idle");
}

void AwayManager::SetAutoAwayOnIdle(bool i_on)
{
    SetSwitch("auto_away_on_idle", i_on);
}

void AwayManager::OnUserActivityIdle()
{
    if (!IsAutoAwayOnIdle() || IsAway())
        return;
    ServerLog(1, QStringLiteral("Idle: going away automatically"));
    m_autoAway = true;
    Apply(true);
}

void AwayManager::OnUserActivityResumed()
{
    // Only an away that idleness brought is ended by activity.
    if (!m_autoAway || m_manualAway)
        return;
    ServerLog(1, QStringLiteral("Activity: automatic away ended"));
    m_autoAway = false;
    Apply(false);
}

void AwayManager::Apply(bool i_away)
{
    SetSetting("availability_status", i_away ? QStringLiteral("away") : QStringLiteral("available"));
    if (gp_server)
        gp_server->SetStatus(i_away);
    emit AwaySet(i_away);
}
