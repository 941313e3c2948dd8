#include "transfers/SpeedBudget.h"

#include <QThread>

#include <algorithm>
#include <limits>

namespace {

// Credit beyond this is of no use to anyone and would only risk overflow.
constexpr qint64 POOL_CAP = std::numeric_limits<qint64>::max() / 4;

} // namespace

void SpeedBudget::SetRates(int i_configured, int i_perTransfer)
{
    QMutexLocker l_lock(&m_mutex);
    m_configuredRate = i_configured;
    m_perTransferRate = i_perTransfer;
    m_pool = 0;
}

void SpeedBudget::ClearRates()
{
    QMutexLocker l_lock(&m_mutex);
    m_configuredRate = 0;
    m_perTransferRate = 0;
}

int SpeedBudget::ConfiguredRate()
{
    QMutexLocker l_lock(&m_mutex);
    return m_configuredRate;
}

int SpeedBudget::PerTransferRate()
{
    QMutexLocker l_lock(&m_mutex);
    return m_perTransferRate;
}

qint64 SpeedBudget::Pool()
{
    QMutexLocker l_lock(&m_mutex);
    return m_pool;
}

qint64 SpeedBudget::Spend(qint64 i_debit)
{
    QMutexLocker l_lock(&m_mutex);
    if (i_debit >= m_pool) {
        qint64 l_deficit = i_debit - m_pool;
        m_pool = 0;
        return l_deficit;
    }
    m_pool -= i_debit;
    return 0;
}

void SpeedBudget::Earn(qint64 i_bytes)
{
    QMutexLocker l_lock(&m_mutex);
    m_pool = std::min(POOL_CAP, m_pool + std::min(POOL_CAP, i_bytes));
}

// ------------------------------------------------------------- RateLimiter

RateLimiter::RateLimiter(SpeedBudget* ip_budget) : mp_budget(ip_budget)
{
    Start();
}

void RateLimiter::Start()
{
    if (mp_budget)
        m_lastRate = mp_budget->PerTransferRate();
    m_budgetClock.start();
    m_speedClock.start();
}

bool RateLimiter::Step(std::function<bool()> const& i_stopRequested)
{
    int const l_rate = mp_budget ? mp_budget->PerTransferRate() : 0;
    if (l_rate != m_lastRate) {
        if (m_lastRate == 0) {
            // Bytes moved while unlimited are not charged, and the time spent
            // unlimited earns no credit either: otherwise switching a limit
            // on after a long transfer would leave it unlimited for as long.
            m_debit = 0;
            m_budgetClock.restart();
        }
        m_speedClock.restart();
        m_speedBytes = 0;
        m_lastRate = l_rate;
    }
    if (l_rate == 0)
        return true;

    qint64 const l_deficit = mp_budget->Spend(m_debit);
    // The rate read as bytes per millisecond; the credit below makes up the
    // difference to 1024 bytes per KB.
    qint64 const l_target = m_budgetClock.elapsed() + l_deficit / l_rate;
    for (qint64 l_now = m_budgetClock.elapsed(); l_now < l_target; l_now = m_budgetClock.elapsed()) {
        if (i_stopRequested())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(SLEEP_SLICE_MS, l_target - l_now)));
    }
    qint64 const l_elapsed = m_budgetClock.restart();
    m_debit = 0;
    // R x 1024 fits in 42 bits; splitting the milliseconds keeps every
    // product within 64 bits for any interval.
    qint64 const l_perSecond = qint64(l_rate) * 1024;
    qint64 const l_seconds = l_elapsed / 1000;
    qint64 const l_earned = l_seconds > POOL_CAP / l_perSecond
                                ? POOL_CAP
                                : l_perSecond * l_seconds + l_perSecond * (l_elapsed % 1000) / 1000;
    if (l_earned > l_deficit)
        mp_budget->Earn(l_earned - l_deficit);
    return true;
}

void RateLimiter::Account(qint64 i_bytes)
{
    m_debit += i_bytes;
    m_speedBytes += i_bytes;
}

int RateLimiter::BytesPerSecond() const
{
    qint64 const l_elapsed = m_speedClock.elapsed();
    if (l_elapsed <= 0)
        return 0;
    return int(std::min<qint64>(std::numeric_limits<int>::max(), m_speedBytes * 1000 / l_elapsed));
}
