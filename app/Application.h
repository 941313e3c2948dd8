#ifndef QUILLMAR_APP_APPLICATION_H
#define QUILLMAR_APP_APPLICATION_H

#include <QApplication>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

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
// id: a lock file in the user's runtime folder tells a second start that
// another one runs. It tells when the user has been away from the program's
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

    void NoteUserActivity();
    void OnWindowActivated();
    void OnWindowDeactivated();

    // What a session-end save calls (the main window's save).
    void SetSaveDataFunction(std::function<void()> i_save) { m_saveData = std::move(i_save); }
    // Where the idle check takes the time from (tests move it forward).
    void SetClock(std::function<QDateTime()> i_clock) { m_clock = std::move(i_clock); }

    bool IsIdle() const { return m_idle; }
    bool IsWindowActive() const { return m_windowActive; }

    // The lock file that keeps one instance per id.
    static QString LockFilePath(QString const& i_id);
    // Takes that lock. o_isRunning tells that a live process holds it; a
    // lock left behind by a process that died is taken over.
    static std::unique_ptr<QLockFile> LockInstance(QString const& i_id, bool& o_isRunning);

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
    std::unique_ptr<QLockFile> mp_lock;
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
