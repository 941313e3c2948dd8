#include "app/Application.h"

#include "store/TimerManager.h"

#include <QDir>
#include <QEvent>
#include <QLockFile>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

Application* Application::obj = nullptr;

bool ActivityEventFilter::eventFilter(QObject* ip_watched, QEvent* ip_event)
{
    if (Application::Obj()) {
        if (ip_event->type() == QEvent::WindowActivate)
            Application::Obj()->OnWindowActivated();
        else if (ip_event->type() == QEvent::WindowDeactivate) {
            // The toolkit activates the new window before it deactivates the
            // old one: when another window of ours is already active, the
            // user only moved between our windows.
            if (QApplication::activeWindow())
                Application::Obj()->NoteUserActivity();
            else
                Application::Obj()->OnWindowDeactivated();
        }
    }
    return QObject::eventFilter(ip_watched, ip_event);
}

QStringList Application::LockFilePaths(QString const& i_id)
{
    QString l_runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (l_runtime.isEmpty())
        l_runtime = QDir::tempPath();
    return {l_runtime + QLatin1Char('/') + i_id + QStringLiteral(".lock"),
            QDir::homePath() + QStringLiteral("/.") + i_id + QStringLiteral(".lock")};
}

namespace {

// Only a live holder counts: the lock of a process that died is taken over,
// however old it is.
std::unique_ptr<QLockFile> TryLock(QString const& i_path)
{
    std::unique_ptr<QLockFile> lp_lock(new QLockFile(i_path));
    lp_lock->setStaleLockTime(0);
    lp_lock->tryLock(0);
    return lp_lock;
}

} // namespace

Application::InstanceLock Application::LockInstance(QString const& i_id, bool& o_isRunning)
{
    o_isRunning = false;
    InstanceLock l_held;
    QStringList const l_paths = LockFilePaths(i_id);
    for (QString const& l_path : l_paths) {
        std::unique_ptr<QLockFile> lp_lock = TryLock(l_path);
        if (lp_lock->isLocked()) {
            l_held.m_locks.push_back(std::move(lp_lock));
        } else if (lp_lock->error() == QLockFile::LockFailedError) {
            o_isRunning = true;
            return InstanceLock();
        }
    }
    if (!l_held)
        std::fprintf(stderr, "Cannot create the single-instance lock %s\n",
                     qPrintable(l_paths.join(QStringLiteral(" or "))));
    return l_held;
}

Application::Application(QString const& i_id, int& io_argc, char** ip_argv)
    : QApplication(io_argc, ip_argv)
{
    m_lock = LockInstance(i_id, m_isRunning);

    obj = this;
    // Owned by the application, so that it goes with it at the very end
    // rather than being left for the leak checker.
    ActivityEventFilter* lp_filter = new ActivityEventFilter();
    lp_filter->setParent(this);
    installEventFilter(lp_filter);
    m_lastActivity = Now();
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &Application::EveryHalfMinute);
    connect(this, &QGuiApplication::commitDataRequest, this, &Application::commitData, Qt::DirectConnection);
    // A session-end request only saves: the toolkit must not close the
    // windows on its own, or a logout that is later cancelled would have
    // ended the program.
    QGuiApplication::setFallbackSessionManagementEnabled(false);
    m_windowActive = true;
}

Application::~Application()
{
    if (obj == this)
        obj = nullptr;
}

QDateTime Application::Now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

void Application::NoteUserActivity()
{
    m_lastActivity = Now();
    if (m_idle) {
        m_idle = false;
        emit UserActivityResumed();
    }
}

void Application::OnWindowActivated()
{
    SetWindowActive(true);
}

void Application::OnWindowDeactivated()
{
    SetWindowActive(false);
}

void Application::SetWindowActive(bool i_active)
{
    if (m_windowActive == i_active)
        return;
    m_windowActive = i_active;
    NoteUserActivity();
    std::fputs(i_active ? "window activated\n" : "window deactivated\n", stdout);
    std::fflush(stdout);
}

void Application::EveryHalfMinute()
{
    if (m_idle || m_windowActive)
        return;
    if (m_lastActivity.secsTo(Now()) > 299) {
        m_idle = true;
        emit UserActivityIdle();
    }
}

void Application::commitData(QSessionManager&)
{
    if (m_saveData)
        m_saveData();
}

namespace {

int s_signalSockets[2] = {-1, -1};
bool s_terminationRequested = false;

extern "C" void OnTerminationSignal(int)
{
    char l_byte = 1;
    // Only async-signal-safe calls here; the event loop does the rest.
    ssize_t l_written = ::write(s_signalSockets[0], &l_byte, 1);
    (void)l_written;
}

} // namespace

void QuitEventLoopOnTerminationSignals()
{
    if (s_signalSockets[0] != -1)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_signalSockets) != 0) {
        std::perror("socketpair");
        return;
    }
    QSocketNotifier* lp_notifier = new QSocketNotifier(s_signalSockets[1], QSocketNotifier::Read, qApp);
    QObject::connect(lp_notifier, &QSocketNotifier::activated, qApp, [lp_notifier]() {
        char l_byte;
        ssize_t l_read = ::read(s_signalSockets[1], &l_byte, 1);
        (void)l_read;
        lp_notifier->setEnabled(false);
        s_terminationRequested = true;
        QCoreApplication::quit();
    });

    struct sigaction l_action = {};
    l_action.sa_handler = OnTerminationSignal;
    sigemptyset(&l_action.sa_mask);
    l_action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &l_action, nullptr);
    sigaction(SIGINT, &l_action, nullptr);
}

bool TerminationRequested()
{
    return s_terminationRequested;
}
