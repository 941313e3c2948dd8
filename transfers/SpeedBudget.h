#ifndef QUILLMAR_TRANSFERS_SPEEDBUDGET_H
#define QUILLMAR_TRANSFERS_SPEEDBUDGET_H

// The rate limit of one direction, shared by every transfer thread of that
// direction. The GUI thread sets the rates; the threads draw on a common
// credit pool, so a transfer that moves less than its share leaves credit
// that the others spend without sleeping. Rates are in KB/s (1 KB = 1024
// bytes), 0 meaning no limit.

#include <QElapsedTimer>
#include <QtGlobal>

#include <functional>
#include <mutex>

class SpeedBudget
{
public:
    // The configured (total) and per-transfer rates; the pool is emptied.
    void SetRates(int i_configured, int i_perTransfer);
    // No limit; the pool keeps its credit.
    void ClearRates();
    int ConfiguredRate();
    int PerTransferRate();
    qint64 Pool();

    // Takes i_debit bytes from the pool; gives the part the pool could not
    // cover.
    qint64 Spend(qint64 i_debit);
    void Earn(qint64 i_bytes);

private:
    // Held only for one read or update of the values below, never during
    // I/O, a sleep, or while another lock is held. A standard mutex, which
    // the thread sanitizer understands.
    std::mutex m_mutex;
    int m_configuredRate = 0;
    int m_perTransferRate = 0;
    qint64 m_pool = 0;
};

// One transfer thread's side of the budget: called before each chunk, it
// sleeps as long as the bytes moved since the previous call exceed what the
// transfer's share and the pool allow. Also measures the transfer's speed.
class RateLimiter
{
public:
    // Without a budget the transfer is never limited.
    explicit RateLimiter(SpeedBudget* ip_budget);
    // Restarts the clocks: the transfer begins.
    void Start();

    // False when the stop test answered true during a sleep. Sleeps come in
    // slices of at most 100 ms with the stop test between them, so a stop
    // request is seen within 100 ms at any rate.
    bool Step(std::function<bool()> const& i_stopRequested);
    void Account(qint64 i_bytes);
    // Whether the last step found a limit.
    bool IsLimited() const { return m_lastRate != 0; }
    // Bytes per second since the measurement (re)started; 0 before any time
    // has passed.
    int BytesPerSecond() const;

    static constexpr int SLEEP_SLICE_MS = 100;

private:
    SpeedBudget* mp_budget;
    int m_lastRate = 0;
    qint64 m_debit = 0;
    QElapsedTimer m_budgetClock;
    QElapsedTimer m_speedClock;
    qint64 m_speedBytes = 0;
};

#endif
