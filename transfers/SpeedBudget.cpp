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
    std::lock_guard<std::mutex> l_lock(m_mutex);
    m_configuredRate = i_configured;
    m_perTransferRate = i_perTransfer;
    m_pool = 0;
}

void SpeedBudget::ClearRates()
{
    std::lock_guard<std::mutex> l_lock(m_mutex);
    m_configuredRate = 0;
    m_perTransferRate = 0;
}

int SpeedBudget::ConfiguredRate()
{
    std::lock_guard<std::mutex> l_lock(m_mutex);
    return m_configuredRate;
}

int SpeedBudget::PerTransferRate()
{
    std::lock_guard<std::mutex> l_lock(m_mutex);
    return m_perTransferRate;
}

qint64 SpeedBudget::Pool()
{
    std::lock_guard<std::mutex> l_lock(m_mutex);
    return m_pool;
}

qint64 SpeedBudget::Spend(qint64 i_debit)
{
    std::lock_guard<std::mutex> l_lock(m_mutex);
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
    std::lock_guard<std::mutex> l_lock(m_mutex);
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
    qint64 const l_micros = m_budgetClock.nsecsElapsed() / 1000;
    m_budgetClock.restart();
    // R x 1024 fits in 42 bits; splitting the time at the second keeps every
    // product within 64 bits for any interval.
    qint64 const l_perSecond = qint64(l_rate) * 1024;
    qint64 const l_seconds = l_micros / 1000000;
    qint64 const l_earned = l_seconds > POOL_CAP / l_perSecond
                                ? POOL_CAP
                                : l_perSecond * l_seconds + l_perSecond * (l_micros % 1000000) / 1000000;
    // Whatever the sleep did not pay for (it counts whole milliseconds) is
    // owed at the next step; forgiving it would let fast transfers run far
    // over their limit.
    m_debit = 0;
    if (l_earned > l_deficit)
        mp_budget->Earn(l_earned - l_deficit);
    else
        m_debit = l_deficit - l_earned;
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
