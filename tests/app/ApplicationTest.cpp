#include "app/Application.h"

#include <QHostInfo>
#include <QtTest>
#include <csignal>

// Idle detection runs on a clock the test moves by hand; activation and
// deactivation are the calls the event filter makes.
class ApplicationTest : public QObject
{
    Q_OBJECT

private:
    QDateTime m_now = QDateTime(QDate(2026, 1, 1), QTime(12, 0));
    Application* mp_app = Application::Obj();

    void Advance(int i_seconds)
    {
        m_now = m_now.addSecs(i_seconds);
        mp_app->EveryHalfMinute();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(mp_app);
        QVERIFY(!mp_app->isRunning());
        mp_app->SetClock([this]() { return m_now; });
        // The end of a desktop session saves and closes no window.
        QVERIFY(!QGuiApplication::isFallbackSessionManagementEnabled());
    }

    // Idle comes once, five minutes after the last of our windows lost the
    // focus, and never while one has it; coming back ends it.
    void IdleComesOnceFiveMinutesAfterTheLastDeactivation()
    {
        QSignalSpy l_idle(mp_app, &Application::UserActivityIdle);
        QSignalSpy l_resumed(mp_app, &Application::UserActivityResumed);
        QVERIFY(mp_app->IsWindowActive());
        Advance(3600);
        mp_app->OnWindowDeactivated();
        Advance(290);
        mp_app->OnWindowActivated();
        mp_app->OnWindowActivated(); // activation while active changes nothing
        Advance(10);
        mp_app->OnWindowDeactivated();
        QVERIFY(!mp_app->IsWindowActive());
        Advance(299);
        QCOMPARE(l_idle.size() + l_resumed.size(), 0);
        Advance(1);
        QCOMPARE(l_idle.size(), 1);
        Advance(600);
        QCOMPARE(l_idle.size() + l_resumed.size(), 1);
        mp_app->OnWindowActivated();
        QCOMPARE(l_resumed.size(), 1);
        QVERIFY(!mp_app->IsIdle());
    }

    // Main window to a dialog: a deactivation, then an activation.
    void SwitchingBetweenOwnWindowsCountsAsActivity()
    {
        QSignalSpy l_idle(mp_app, &Application::UserActivityIdle);
        QWidget l_main;
        QWidget l_dialog;
        l_main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_main));
        l_main.activateWindow();
        QTRY_VERIFY(l_main.isActiveWindow());
        l_dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_dialog));
        l_dialog.activateWindow();
        QTRY_VERIFY(l_dialog.isActiveWindow());
        QVERIFY(mp_app->IsWindowActive());
        l_dialog.close();
        l_main.activateWindow();
        QTRY_VERIFY(l_main.isActiveWindow());
        QVERIFY(mp_app->IsWindowActive());
        Advance(3600);
        QCOMPARE(l_idle.size(), 0);
    }

    // This process holds the test's id: a second start finds it running,
    // also when the first has been running for an hour.
    void LockFileSaysWhoRuns()
    {
        QString const l_path = Application::LockFilePaths("QuillmarQtTest").first();
        QVERIFY(l_path.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR")));
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::ReadOnly));
        QVERIFY(l_file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        l_file.close();
        bool l_running = false;
        QVERIFY(!Application::LockInstance("QuillmarQtTest", l_running) && l_running);

        // After a crash the lock file stays behind, however recent; the next
        // start must not take it for a running instance.
        QFile l_crashed(Application::LockFilePaths("QuillmarQtCrashed").first());
        QVERIFY(l_crashed.open(QIODevice::WriteOnly));
        l_crashed.write("2147483646\nquillmar\n" + QHostInfo::localHostName().toUtf8() + "\n");
        l_crashed.close();
        Application::InstanceLock const l_lock = Application::LockInstance("QuillmarQtCrashed", l_running);
        QVERIFY(!l_running && l_lock && l_lock.m_locks.front()->isLocked());
    }

    // With no runtime or temporary folder to hold a lock, the home folder's
    // keeps the instance single, also against a start whose runtime folder
    // works, and it keeps two sessions with runtime folders of their own
    // off one set of data files; with no home folder either, nothing may
    // start.
    void LockFallsBackToTheHomeFolder()
    {
        // A file where a folder should be: no lock goes in it, even for root
        // (and the toolkit makes no runtime folder elsewhere instead).
        QByteArray const l_runtime = qgetenv("XDG_RUNTIME_DIR"), l_home = qgetenv("HOME");
        QByteArray const l_missing = l_home + "/not-a-folder";
        QFile l_file(QFile::decodeName(l_missing));
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        l_file.close();
        qputenv("XDG_RUNTIME_DIR", l_missing);
        qputenv("TMPDIR", l_missing);
        bool l_running = true;
        Application::InstanceLock l_first = Application::LockInstance("QuillmarQtFallback", l_running);
        QVERIFY(l_first && !l_running);
        QVERIFY(QFile::exists(QDir::homePath() + "/.QuillmarQtFallback.lock"));
        QVERIFY(!Application::LockInstance("QuillmarQtFallback", l_running) && l_running);
        qputenv("XDG_RUNTIME_DIR", l_runtime);
        QVERIFY(!Application::LockInstance("QuillmarQtFallback", l_running) && l_running);
        l_first = Application::InstanceLock();
        l_first = Application::LockInstance("QuillmarQtFallback", l_running);
        QVERIFY(l_first && !l_running);
        // Another session, with a runtime folder of its own, on the same home.
        QByteArray const l_otherRuntime = l_home + "/other-session";
        QVERIFY(QDir().mkpath(QFile::decodeName(l_otherRuntime)));
        qputenv("XDG_RUNTIME_DIR", l_otherRuntime);
        QVERIFY(!Application::LockInstance("QuillmarQtFallback", l_running) && l_running);
        qputenv("XDG_RUNTIME_DIR", l_runtime);
        l_first = Application::InstanceLock();

        qputenv("XDG_RUNTIME_DIR", l_missing);
        qputenv("HOME", l_missing);
        QVERIFY(!Application::LockInstance("QuillmarQtFallback", l_running) && !l_running);
        qputenv("XDG_RUNTIME_DIR", l_runtime);
        qputenv("HOME", l_home);
        qunsetenv("TMPDIR");
    }

    // Last: it asks the application to quit. The signal must end the event
    // loop in order, not the process.
    void TerminationSignalQuitsInOrder()
    {
        QuitEventLoopOnTerminationSignals();
        QVERIFY(!TerminationRequested());
        ::raise(SIGTERM);
        QTRY_VERIFY(TerminationRequested());
    }
};

int main(int argc, char** argv)
{
    Application l_application(QStringLiteral("QuillmarQtTest"), argc, argv);
    ApplicationTest l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "ApplicationTest.moc"
