#ifndef QUILLMAR_APP_APPLICATION_H
#define QUILLMAR_APP_APPLICATION_H

#include <QApplication>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLockFile;
class QSessionManager;

// Watches window activation for the whole program; it never stops an event.
class ActivityEventFilter : public QObject
{
    Q_OBJECT

public:
    bool eventFilter(QObject* ip_watched, QEvent* ip_event) override;
};

// The program's application object. It is a single instance per user and
// id: a lock file in the user's runtime folder (or, when none can be made
// there, in the home folder) tells a second start that another one runs. It tells when the user has been away from the program's
// windows for five minutes and when the user is back, and it saves the data
// when the desktop session ends.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(QString const& i_id, int& io_argc, char** ip_argv);
    ~Application() override;

    static Application* Obj() { return obj; }

    // True when another process holds the id.
    bool isRunning() const { return m_isRunning; }
    // False when no lock could be made at all: the program must not run,
    // since two instances on one set of data files lose each other's saves.
    bool HoldsInstanceLock() const { return bool(m_lock); }

    void NoteUserActivity();
    void OnWindowActivated();
    void OnWindowDeactivated();

    // What a session-end save calls (the main window's save).
    void SetSaveDataFunction(std::function<void()> i_save) { m_saveData = std::move(i_save); }
    // Where the idle check takes the time from (tests move it forward).
    void SetClock(std::function<QDateTime()> i_clock) { m_clock = std::move(i_clock); }

    bool IsIdle() const { return m_idle; }
    bool IsWindowActive() const { return m_windowActive; }

    // The lock files that keep one instance per id, in the order they are
    // tried: the runtime folder's, then the home folder's.
    static QStringList LockFilePaths(QString const& i_id);
    // The locks an instance holds: every one of those that could be made.
    // The runtime folder's finds a second start in the same session; the
    // home folder's one from another session (a desktop and a remote login)
    // on the same data files, whose saves would otherwise lose each other's.
    class InstanceLock
    {
    public:
        explicit operator bool() const { return !m_locks.empty(); }
        std::vector<std::unique_ptr<QLockFile>> m_locks;
    };
    // Takes every one of those locks that can be made. Empty when a live
    // process holds one (o_isRunning) or when none can be made; a lock left
    // behind by a process that died is taken over.
    static InstanceLock LockInstance(QString const& i_id, bool& o_isRunning);

signals:
    void UserActivityIdle();
    void UserActivityResumed();

public slots:
    void EveryHalfMinute();
    void commitData(QSessionManager& io_manager);

private:
    static Application* obj;

    QDateTime Now() const;
    void SetWindowActive(bool i_active);

    QDateTime m_lastActivity;
    bool m_idle = false;
    bool m_windowActive = false;
    bool m_isRunning = false;
    InstanceLock m_lock;
    std::function<void()> m_saveData;
    std::function<QDateTime()> m_clock;
};

// SIGTERM and SIGINT end the event loop in order (the main window then saves
// and shuts down) instead of killing the process.
void QuitEventLoopOnTerminationSignals();
// True once such a signal was handled. One that arrives before the main event
// loop runs (in a modal dialog of the start) ends only that dialog's loop,
// so the caller checks this before entering the main loop.
bool TerminationRequested();

#endif
