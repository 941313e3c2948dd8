#ifndef QUILLMAR_STORE_TIMERMANAGER_H
#define QUILLMAR_STORE_TIMERMANAGER_H

// The program-wide repeating timers: every 30 s, every 5 min and every hour.
// Connecting to the manager's own timeout() is connecting to the 30-second
// timer.

#include <QObject>
#include <QTimer>

class TimerManager : public QObject
{
    Q_OBJECT

public:
    // The single manager, created (and started) on first use.
    static TimerManager* Obj();
    // Deletes the single manager (shutdown); its timers stop with it.
    static void Destroy();

    // A manager of its own with other periods, for tests.
    TimerManager(int i_halfMinuteMs, int i_fiveMinutesMs, int i_hourMs, QObject* ip_parent = nullptr);
    ~TimerManager() override;

    // In declaration order: 30 000 ms, 300 000 ms, 3 600 000 ms.
    QTimer m_halfMinuteTimer;
    QTimer m_fiveMinutesTimer;
    QTimer m_hourTimer;

signals:
    void timeout();
};

#endif
