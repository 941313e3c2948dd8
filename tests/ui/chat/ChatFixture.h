#ifndef QUILLMAR_TESTS_UI_CHAT_CHATFIXTURE_H
#define QUILLMAR_TESTS_UI_CHAT_CHATFIXTURE_H

// The chat pages' world over a fresh store: the managers they talk to, the
// colour table, the chat types and settings as the main window leaves them
// ("me" logged in as the own name), a clock the tests move by hand, and the
// log files of the home folder.

#include "server/Server.h"
#include "store/Settings.h"
#include "tests/ManagerSet.h"
#include "ui/chat/ChatRules.h"
#include "ui/chat/ChatStoreTypes.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/EventToolBar.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <functional>

class ChatFixture : public ManagerSet<ActionSetToolBar, Server, EventToolBar>
{
protected:
    void StartChat()
    {
        StartManagers();
        DeclareColorTable(QApplication::palette());
        DeclareChatStoreTypes();
        SetSetting("chat_timestamps", QStringLiteral("activity_based"));
        SetSwitch("log_room_chat", true);
        SetSwitch("log_private_chat", true);
        SetSetting("username", QStringLiteral("me"));
        actionBar->AddSetActions({{"chat_log", "clear_chat_log", "Clear Log", ":/icons/empty_note_icon"},
                                  {"chat_log", "open_log_folder", "Open Log Folder", ":/icons/browse_icon"},
                                  {"user_chat", "user_chat_log", "Chat Log", ":/icons/note_icon"}});
        QDir(LogRoot()).removeRecursively();
        m_now = QDateTime(QDate(2024, 1, 5), QTime(15, 7, 9));
    }

    static QString LogRoot() { return QDir::homePath() + "/Quillmar Chat Logs"; }
    static QString UserLog(QString const& i_name) { return ChatLogPath(ChatLogKind::USER, i_name, QDir::homePath()); }

    static QByteArray FileBytes(QString const& i_path)
    {
        QFile l_file(i_path);
        return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<none>");
    }
    static bool WriteBytes(QString const& i_path, QByteArray const& i_bytes)
    {
        QDir().mkpath(QFileInfo(i_path).path());
        QFile l_file(i_path);
        return l_file.open(QIODevice::WriteOnly) && l_file.write(i_bytes) == i_bytes.size();
    }

    static QStringList Paragraphs(QTextDocument const* ip_document)
    {
        return ip_document->isEmpty() ? QStringList() : ip_document->toPlainText().split('\n');
    }

    // The next modal window that i_answer takes (it returns whether it
    // did) is answered by it, while the window's own loop runs.
    static void AnswerNextModal(std::function<bool(QWidget*)> i_answer)
    {
        QTimer* lp_poll = new QTimer;
        QObject::connect(lp_poll, &QTimer::timeout, [lp_poll, i_answer]() {
            QWidget* lp_modal = QApplication::activeModalWidget();
            if (lp_modal && i_answer(lp_modal))
                lp_poll->deleteLater();
        });
        lp_poll->start(10);
    }
    static void AnswerNextQuestion(QMessageBox::StandardButton i_button)
    {
        AnswerNextModal([i_button](QWidget* ip_modal) {
            QMessageBox* lp_box = qobject_cast<QMessageBox*>(ip_modal);
            return lp_box && lp_box->button(i_button) && (lp_box->button(i_button)->click(), true);
        });
    }

    QDateTime m_now;
};

#endif
