#ifndef QUILLMAR_SERVER_AWAYMANAGER_H
#define QUILLMAR_SERVER_AWAYMANAGER_H

// The user's availability (available or away): set by hand, or
// automatically while the user is idle when "auto_away_on_idle" is on. The
// state is the setting "availability_status" ("away" or "available"); the
// server is told of every change.

#include <QObject>

class AwayManager : public QObject
{
    Q_OBJECT

public:
    // The single manager, created on first use. It follows the
    // application's idle signals when the application object has them.
    static AwayManager* Obj();

    bool IsAway() const;
    // The user's own choice; automatic away never overrides it.
    void SetAway(bool i_away);
    bool IsAutoAwayOnIdle() const;
    void SetAutoAwayOnIdle(bool i_on);

signals:
    void AwaySet(bool i_away);

public slots:
    void OnUserActivityIdle();
    void OnUserActivityResumed();

private:
    AwayManager();
    void Apply(bool i_away);

    bool m_manualAway = false;
    bool m_autoAway = false;
};

#endif
