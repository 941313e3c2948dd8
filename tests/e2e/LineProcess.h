#ifndef QUILLMAR_TESTS_E2E_LINEPROCESS_H
#define QUILLMAR_TESTS_E2E_LINEPROCESS_H

// A child process that talks in lines: the stand-in server or a headless
// client. Its output is collected while the test's event loop runs (so no
// child ever blocks on a full pipe), and the test awaits lines that match a
// pattern, never a fixed time.

#include "tests/Waits.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class LineProcess
{
public:
    explicit LineProcess(QString const& i_name) : m_name(i_name)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this]() {
            m_pending += m_process.readAllStandardOutput();
            for (int l_end; (l_end = m_pending.indexOf('\n')) >= 0; m_pending.remove(0, l_end + 1))
                m_lines << QString::fromUtf8(m_pending.left(l_end));
        });
    }
    ~LineProcess() { Stop(); }

    // i_home becomes the child's HOME (and holds its runtime folder).
    bool Start(QString const& i_program, QStringList const& i_arguments, QString const& i_home = QString())
    {
        if (!i_home.isEmpty()) {
            QDir().mkpath(i_home + "/run");
            QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
            l_environment.insert("HOME", i_home);
            l_environment.insert("XDG_RUNTIME_DIR", i_home + "/run");
            m_process.setProcessEnvironment(l_environment);
        }
        m_process.start(i_program, i_arguments);
        return m_process.waitForStarted(WAIT_MS);
    }

    void Send(QString const& i_line) { m_process.write((i_line + '\n').toUtf8()); }

    // The first line from index i_from on that matches (its index to
    // op_index); an invalid match when none came in time or the process
    // ended.
    QRegularExpressionMatch Await(QString const& i_pattern, int i_from = 0, int i_timeoutMs = WAIT_MS,
                                  int* op_index = nullptr)
    {
        QRegularExpression const l_pattern(i_pattern);
        QRegularExpressionMatch l_match;
        int l_index = i_from;
        bool const l_found = WaitUntil([&] {
            for (; l_index < m_lines.size(); ++l_index)
                if ((l_match = l_pattern.match(m_lines.at(l_index))).hasMatch())
                    return true;
            return m_process.state() == QProcess::NotRunning;
        }, i_timeoutMs) && l_match.hasMatch();
        if (l_found && op_index)
            *op_index = l_index;
        return l_found ? l_match : QRegularExpressionMatch();
    }

    // Sends a command; the lines up to the one that ends its answer.
    QStringList Ask(QString const& i_command, QString const& i_lastLine)
    {
        int const l_from = m_lines.size();
        int l_end = l_from - 1;
        Send(i_command);
        Await(i_lastLine, l_from, WAIT_MS, &l_end);
        return m_lines.mid(l_from, l_end - l_from + 1);
    }

    int Count(QString const& i_pattern) const { return m_lines.filter(QRegularExpression(i_pattern)).size(); }
    QStringList const& Lines() const { return m_lines; }
    QString Tail() const { return "--- " + m_name + ":\n" + m_lines.mid(qMax(0, m_lines.size() - 30)).join('\n'); }

    // Asks the process to quit and waits for it (killing it after WAIT_MS):
    // its exit code, or -1 when it crashed or had to be killed. The output
    // is still collected while it is awaited.
    int Stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            Send("quit");
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(WAIT_MS)) {
                m_process.kill();
                m_process.waitForFinished(5000);
                return -1;
            }
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QString m_name;
    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
};

// Prepares a headless client's home (user i_user, password "pw", a port of
// the system's choice, the server at 127.0.0.1:i_serverPort, each folder
// directly under i_shared shared with everyone, and the KEY=VALUE settings
// given), then starts it there. True once it is logged in with its shares
// in its index.
inline bool StartHeadlessClient(LineProcess& io_client, QString const& i_home, QString const& i_user,
                                quint16 i_serverPort, QString const& i_shared, QStringList i_settings = {})
{
    QString const l_program = QStringLiteral(HEADLESS_CLIENT_PATH);
    i_settings << "username=" + i_user << "password=pw" << "listening_port=0"
               << QStringLiteral("server_address=127.0.0.1:%1").arg(i_serverPort);
    for (QString const& l_root : QDir(i_shared).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        i_settings << "share=" + i_shared + '/' + l_root;
    LineProcess l_prepare("prepare " + i_user);
    return l_prepare.Start(l_program, QStringList("prepare") + i_settings, i_home) && l_prepare.Stop() == 0 &&
           io_client.Start(l_program, QStringList(), i_home) && io_client.Await("^event \\d+ connected$").hasMatch() &&
           io_client.Await("^event \\d+ shares-ready ").hasMatch();
}

inline bool WriteFile(QString const& i_path, QByteArray const& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile l_file(i_path);
    return l_file.open(QIODevice::WriteOnly) && l_file.write(i_bytes) == i_bytes.size();
}

inline QByteArray FileMd5(QString const& i_path)
{
    QFile l_file(i_path);
    QCryptographicHash l_hash(QCryptographicHash::Md5);
    return l_file.open(QIODevice::ReadOnly) && l_hash.addData(&l_file) ? l_hash.result().toHex() : QByteArray();
}

#endif
