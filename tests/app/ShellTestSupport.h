#ifndef QUILLMAR_TESTS_APP_SHELLTESTSUPPORT_H
#define QUILLMAR_TESTS_APP_SHELLTESTSUPPORT_H

// What the whole-window tests share: a data file written before the window
// starts, a driver for the modal dialogs of the start-up, and the stand-in
// server as a child process.

#include "ui/widgets/ColorTable.h"
#include "app/MainWindow.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "tests/server/ServerTestHelpers.h"
#include "tests/app/SeededDataFile.h"
#include "tests/shares/SharesFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>

// Answers the modal dialogs that open while the window starts (or while a
// command runs), one after the other: each answer gets the dialog and
// returns whether it took it. The titles (and the texts of message boxes)
// of the dialogs answered are kept.
class ModalAnswerer : public QObject
{
public:
    using Answer = std::function<bool(QWidget*)>;

    ModalAnswerer()
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::Poll);
        m_timer.start();
    }

    ModalAnswerer& Then(Answer i_answer)
    {
        m_answers.push_back(std::move(i_answer));
        return *this;
    }
    // A message box answered with one of its buttons.
    ModalAnswerer& Press(QMessageBox::StandardButton i_button)
    {
        return Then([i_button](QWidget* ip_widget) {
            QMessageBox* lp_box = qobject_cast<QMessageBox*>(ip_widget);
            if (!lp_box || !lp_box->button(i_button))
                return false;
            lp_box->button(i_button)->click();
            return true;
        });
    }
    bool Done() const { return m_answers.empty(); }

    QStringList m_titles;
    QStringList m_texts;

private:
    // A modal widget the next answer does not take (the box before may still
    // be the active one) is left for a later poll.
    void Poll()
    {
        QWidget* lp_modal = QApplication::activeModalWidget();
        if (!lp_modal || lp_modal == mp_last || m_answers.empty())
            return;
        QMessageBox const* lp_box = qobject_cast<QMessageBox*>(lp_modal);
        QString const l_title = lp_modal->windowTitle();
        QString const l_text = lp_box ? lp_box->text() : QString();
        if (!m_answers.front()(lp_modal))
            return;
        m_titles << l_title;
        if (lp_box)
            m_texts << l_text;
        mp_last = lp_modal;
        m_answers.pop_front();
    }

    QTimer m_timer;
    std::deque<Answer> m_answers;
    QPointer<QWidget> mp_last;
};

// Starts the window as the program does, with the peer listeners on ports
// of the system's choice and the login going to the stand-in server, unless
// the data file says otherwise, or the program is given a server (--server).
inline MainWindow* StartWindow(quint16 i_serverPort, QString const& i_serverArgument = QString())
{
    DeclareSettingsTypes();
    SetSetting("listening_port", qint64(0));
    SetSetting("server_address", QStringLiteral("127.0.0.1:%1").arg(i_serverPort));
    MainWindow* lp_window = new MainWindow;
    lp_window->SetServerAddress(i_serverArgument);
    lp_window->setVisible(true);
    lp_window->Init();
    return lp_window;
}

// Runs this test program again for each phase ("--phase NAME" and the
// given arguments), one after the other, in one fresh home: a restart of the
// window, each run a process of its own. The first phase that failed, or
// the empty text.
inline QString RunPhasesInOneHome(QStringList const& i_phases, QStringList const& i_arguments, int i_waitMs)
{
    QTemporaryDir l_home;
    QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
    l_environment.insert("HOME", l_home.path());
    for (QString const& l_phase : i_phases) {
        QProcess l_process;
        l_process.setProcessEnvironment(l_environment);
        l_process.setProcessChannelMode(QProcess::ForwardedChannels);
        l_process.start(QCoreApplication::applicationFilePath(), QStringList({"--phase", l_phase}) + i_arguments);
        if (!l_process.waitForFinished(i_waitMs) || l_process.exitStatus() != QProcess::NormalExit ||
            l_process.exitCode() != 0)
            return l_phase;
    }
    return QString();
}

#endif
