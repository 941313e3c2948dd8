#include "store/TimerManager.h"

namespace {
TimerManager* gp_timerManager = nullptr;
}

TimerManager* TimerManager::Obj()
{
    if (!gp_timerManager)
        gp_timerManager = new TimerManager(30000, 300000, 3600000);
    return gp_timerManager;
}

void TimerManager::Destroy()
{
    delete gp_timerManager;
}

TimerManager::TimerManager(int i_halfMinuteMs, int i_fiveMinutesMs, int i_hourMs, QObject* ip_parent)
    : QObject(ip_parent)
{
    QTimer* const lp_timers[] = {&m_halfMinuteTimer, &m_fiveMinutesTimer, &m_hourTimer};
    int const l_intervals[] = {i_halfMinuteMs, i_fiveMinutesMs, i_hourMs};
    for (int l_index = 0; l_index < 3; ++l_index) {
        lp_timers[l_index]->setSingleShot(false);
        lp_timers[l_index]->setInterval(l_intervals[l_index]);
        lp_timers[l_index]->start();
    }
    connect(&m_halfMinuteTimer, &QTimer::timeout, this, &TimerManager::timeout);
}

TimerManager::~TimerManager()
{
    if (gp_timerManager == this)
        gp_timerManager = nullptr;
}
