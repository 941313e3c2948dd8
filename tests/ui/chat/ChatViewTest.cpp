// The chat rules and the one chat view of the room and private pages: what
// a line looks like in each time-stamp mode, "/me" lines, the conversation's
// start and end on a clock moved by hand, the cut of a long view, the log
// files (bytes, switch, names that must stay in the log folder) and the log
// viewer (pieces of long lines, plain text only, search, clear, slices).
// Run under a German system locale: logs and stamps stay in the C locale.

#include "ChatFixture.h"

#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatView.h"
#include "ui_ChatLogForm.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QTabWidget>

#include <numeric>

Q_DECLARE_METATYPE(ChatTimestamps)

namespace {

ChatColors const s_colors{"#0066ff", "#0033ff", "#339933", "#00aaff"};

bool HasImage(QTextDocument const* ip_document)
{
    for (QTextBlock l_block = ip_document->begin(); l_block.isValid(); l_block = l_block.next())
        for (auto l_part = l_block.begin(); !l_part.atEnd(); ++l_part)
            if (l_part.fragment().charFormat().isImageFormat())
                return true;
    return false;
}

QStringList Anchors(QTextDocument const* ip_document)
{
    QStringList l_anchors;
    for (QTextBlock l_block = ip_document->begin(); l_block.isValid(); l_block = l_block.next())
        for (auto l_part = l_block.begin(); !l_part.atEnd(); ++l_part)
            if (l_part.fragment().charFormat().isAnchor())
                l_anchors << l_part.fragment().charFormat().anchorHref();
    return l_anchors;
}

} // namespace

class ChatViewTest : public QObject, public ChatFixture
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_opened << i_url.toString(); }

private:
    std::unique_ptr<ChatView> mp_view;
    std::unique_ptr<QTabWidget> mp_tabs;
    QStringList m_opened;

    QStringList Shown() const { return Paragraphs(mp_view->document()); }

    ChatLogForm* Viewer(QString const& i_name = QStringLiteral("alice"))
    {
        return ChatLogForm::Open(ChatLogKind::USER, i_name, mp_tabs.get());
    }
    static QStringList ViewerLines(ChatLogForm* ip_viewer) { return Paragraphs(ip_viewer->Form()->logEdit->document()); }
    static bool Loaded(ChatLogForm* ip_viewer)
    {
        QSignalSpy l_loaded(ip_viewer, &ChatLogForm::Loaded);
        return !ip_viewer->IsLoading() || l_loaded.wait(10000);
    }

    // The highlighted match as "block:column", and the two buttons' states.
    static QString SearchState(ChatLogForm* ip_viewer)
    {
        QList<QTextEdit::ExtraSelection> const l_marks = ip_viewer->Form()->logEdit->extraSelections();
        QString l_mark = QStringLiteral("none");
        if (l_marks.size() == 1) {
            QTextCursor const& l_cursor = l_marks.first().cursor;
            l_mark = QStringLiteral("%1:%2").arg(l_cursor.block().blockNumber())
                         .arg(l_cursor.selectionStart() - l_cursor.block().position());
        }
        return QStringLiteral("%1 back=%2 forward=%3").arg(l_mark)
            .arg(ip_viewer->Form()->searchBackButton->isEnabled())
            .arg(ip_viewer->Form()->searchForwardButton->isEnabled());
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QDesktopServices::setUrlHandler("file", this, "OnUrlOpened");
    }

    void init()
    {
        StartChat();
        mp_view = std::make_unique<ChatView>();
        mp_view->SetClock([this]() { return m_now; });
        mp_view->SetLog(ChatLogKind::USER, QStringLiteral("alice"));
        mp_tabs = std::make_unique<QTabWidget>();
        m_opened.clear();
    }

    void cleanup()
    {
        mp_tabs.reset();
        mp_view.reset();
        StopManagers();
    }

    // ------------------------------------------------------------ lines

    void LineHtml_data()
    {
        QTest::addColumn<ChatTimestamps>("mode");
        QTest::addColumn<bool>("own");
        QTest::addColumn<QString>("html");
        QString const l_user = "[<font color=\"#0033ff\">a&lt;b</font>] ";
        QString const l_text = "hi &nbsp;&lt;i&gt;&amp;";
        QString const l_ownText = "<b><font color=\"#00aaff\">" + l_text + "</font></b>";
        QString const l_short = "[<font color=\"#0066ff\">15:07:09</font>]";
        QString const l_long = "[<font color=\"#0066ff\">Jan 5 3:07:09 pm</font>]";
        QTest::newRow("activity other") << ChatTimestamps::ACTIVITY_BASED << false << l_user + l_text;
        QTest::newRow("activity own") << ChatTimestamps::ACTIVITY_BASED << true << l_user + l_ownText;
        QTest::newRow("short other") << ChatTimestamps::PER_MESSAGE_SHORT << false << l_short + l_user + l_text;
        QTest::newRow("short own") << ChatTimestamps::PER_MESSAGE_SHORT << true << l_short + l_user + l_ownText;
        QTest::newRow("long other") << ChatTimestamps::PER_MESSAGE_LONG << false << l_long + l_user + l_text;
        QTest::newRow("long own") << ChatTimestamps::PER_MESSAGE_LONG << true << l_long + l_user + l_ownText;
        QTest::newRow("none other") << ChatTimestamps::NONE << false << l_user + l_text;
        QTest::newRow("none own") << ChatTimestamps::NONE << true << l_user + l_ownText;
    }

    void LineHtml()
    {
        QFETCH(ChatTimestamps, mode);
        QFETCH(bool, own);
        QFETCH(QString, html);
        QCOMPARE(ChatLineHtml(mode, m_now, "a<b", "hi  <i>&", own, s_colors), html);
    }

    void StatusAndLinkHtml()
    {
        QCOMPARE(ChatStatusHtml("alice <waves>", s_colors), QString("* <font color=\"#339933\">alice &lt;waves&gt;</font>"));
        QCOMPARE(ChatLineHtml(ChatTimestamps::NONE, m_now, "u", "see http://h.example/p?q=1&r=2.", false, s_colors),
                 QString("[<font color=\"#0033ff\">u</font>] see <a href=\"http://h.example/p?q=1&amp;r=2\">"
                         "http://h.example/p?q=1&amp;r=2</a>."));
        QCOMPARE(ChatTimestampsFrom("per_message_long"), ChatTimestamps::PER_MESSAGE_LONG);
        QCOMPARE(ChatTimestampsFrom("Activity_based"), ChatTimestamps::NONE);
        QCOMPARE(ChatTimestampsFrom(""), ChatTimestamps::NONE);
    }

    // Each mode, for a line of another user and an own line (the own-name
    // test is case-sensitive): what the view shows, whether the text is
    // bold, and the log.
    void ModesInTheView_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<bool>("bold");
        QString const l_started = "* Chat started Jan 5 3:07:09 pm";
        QTest::newRow("activity") << "activity_based" << "alice" << QStringList({l_started, "[alice] hello"}) << false;
        QTest::newRow("activity own") << "activity_based" << "me" << QStringList({l_started, "[me] hello"}) << true;
        QTest::newRow("short") << "per_message_short" << "alice" << QStringList("[15:07:09][alice] hello") << false;
        QTest::newRow("short own") << "per_message_short" << "me" << QStringList("[15:07:09][me] hello") << true;
        QTest::newRow("long") << "per_message_long" << "alice" << QStringList("[Jan 5 3:07:09 pm][alice] hello") << false;
        QTest::newRow("long own") << "per_message_long" << "me" << QStringList("[Jan 5 3:07:09 pm][me] hello") << true;
        QTest::newRow("none") << "no_timestamps" << "alice" << QStringList("[alice] hello") << false;
        QTest::newRow("none, other case") << "no_timestamps" << "Me" << QStringList("[Me] hello") << false;
        QTest::newRow("unknown mode") << "sometimes" << "me" << QStringList("[me] hello") << true;
    }

    void ModesInTheView()
    {
        QFETCH(QString, mode);
        QFETCH(QString, user);
        QFETCH(QStringList, shown);
        QFETCH(bool, bold);
        SetSetting("chat_timestamps", mode);
        QCOMPARE(mp_view->AddChat(user, "hello"), ChatView::ORDINARY_LINE);
        QCOMPARE(Shown(), shown);
        QTextCursor l_end(mp_view->document());
        l_end.movePosition(QTextCursor::End);
        QCOMPARE(l_end.charFormat().fontWeight() == QFont::Bold, bold);
        QCOMPARE(l_end.charFormat().foreground().color().name(), QString(bold ? "#00aaff" : "#000000"));
        QCOMPARE(FileBytes(UserLog("alice")), "[Jan 5 3:07:09 pm][" + user.toUtf8() + "] hello\n");
        QVERIFY(mp_view->IsChatActive());
    }

    // "/me" lines: an action is a status line, logged as an action entry,
    // with no start marker; everything else is an ordinary line whose text
    // is logged as received.
    void Actions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QByteArray>("log");
        QString const l_started = "* Chat started Jan 5 3:07:09 pm";
        QByteArray const l_action = "[Jan 5 3:07:09 pm] * alice waves\n";
        QTest::newRow("blanks around") << "  /me waves  " << QStringList("* alice waves") << l_action;
        QTest::newRow("two blanks after") << "/me  waves" << QStringList("* alice waves") << l_action;
        QTest::newRow("one blank before") << " /me waves" << QStringList("* alice waves") << l_action;
        QTest::newRow("alone") << "/me" << QStringList({l_started, "[alice] /me"})
                               << QByteArray("[Jan 5 3:07:09 pm][alice] /me\n");
        QTest::newRow("blanks only after") << "/me   " << QStringList({l_started, "[alice] /me \u00a0 "})
                                           << QByteArray("[Jan 5 3:07:09 pm][alice] /me   \n");
        QTest::newRow("capital M") << "/Me waves" << QStringList({l_started, "[alice] /Me waves"})
                                   << QByteArray("[Jan 5 3:07:09 pm][alice] /Me waves\n");
        QTest::newRow("glued") << "/mewaves" << QStringList({l_started, "[alice] /mewaves"})
                               << QByteArray("[Jan 5 3:07:09 pm][alice] /mewaves\n");
        QTest::newRow("markup") << "/me <b>bows</b>" << QStringList("* alice <b>bows</b>")
                                << QByteArray("[Jan 5 3:07:09 pm] * alice <b>bows</b>\n");
    }

    void Actions()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, shown);
        QFETCH(QByteArray, log);
        bool const l_action = shown.size() == 1;
        QCOMPARE(mp_view->AddChat("alice", text), l_action ? ChatView::ACTION_LINE : ChatView::ORDINARY_LINE);
        QCOMPARE(Shown(), shown);
        QCOMPARE(FileBytes(UserLog("alice")), log);
        QCOMPARE(mp_view->IsChatActive(), !l_action);
    }

    // The conversation ends once more than 299,999 ms passed since its last
    // ordinary line; the end marker carries that line's time, and the next
    // line starts a new conversation.
    void Inactivity_data()
    {
        QTest::addColumn<int>("quietMs");
        QTest::addColumn<bool>("ended");
        QTest::newRow("299,999 ms") << 299999 << false;
        QTest::newRow("300,000 ms") << 300000 << true;
    }

    void Inactivity()
    {
        QFETCH(int, quietMs);
        QFETCH(bool, ended);
        mp_view->AddChat("alice", "hello");
        m_now = m_now.addSecs(10);
        mp_view->AddChat("alice", "/me waits"); // no activity
        m_now = m_now.addMSecs(quietMs - 10000);
        mp_view->CheckChatInactivity();
        QStringList l_shown = {"* Chat started Jan 5 3:07:09 pm", "[alice] hello", "* alice waits"};
        if (ended)
            l_shown << "* Chat ended Jan 5 3:07:09 pm";
        QCOMPARE(Shown(), l_shown);
        QCOMPARE(mp_view->IsChatActive(), !ended);
        mp_view->CheckChatInactivity();
        mp_view->AddChat("alice", "back");
        if (ended)
            l_shown << "* Chat started Jan 5 3:12:09 pm";
        QCOMPARE(Shown(), l_shown << "[alice] back");
    }

    void NoMarkersOutsideActivityMode()
    {
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        mp_view->AddChat("alice", "hello");
        m_now = m_now.addSecs(300);
        mp_view->CheckChatInactivity();
        QVERIFY(!mp_view->IsChatActive());
        mp_view->AddChat("alice", "again");
        QCOMPARE(Shown(), QStringList({"[alice] hello", "[alice] again"}));
    }

    // Lines from other people never load anything or become markup; the
    // only links are the web addresses the link rule finds.
    void HostileLineStaysText()
    {
        QString const l_text = "<img src=\"file:///etc/hostname\"> <a href=\"file:///etc\">x</a> http://ok.example/";
        mp_view->AddChat("<img src=x>", l_text);
        mp_view->AddStatusMessage("<img src=\"file:///etc/hostname\">");
        QVERIFY(!HasImage(mp_view->document()));
        QCOMPARE(Anchors(mp_view->document()), QStringList("http://ok.example/"));
        QCOMPARE(Shown().mid(1), QStringList({"[<img src=x>] " + l_text, "* <img src=\"file:///etc/hostname\">"}));
        QVERIFY(!mp_view->openLinks() && !mp_view->openExternalLinks());
    }

    // ------------------------------------------------------- view size

    void LinesToDrop_data()
    {
        QTest::addColumn<QVector<int>>("lengths");
        QTest::addColumn<int>("drop");
        QTest::newRow("250,000: kept") << QVector<int>({100000, 100000, 50000}) << 0;
        QTest::newRow("250,001: first line") << QVector<int>({100000, 100000, 50001}) << 1;
        QTest::newRow("cut on a line's end") << QVector<int>({50000, 200001}) << 2;
        QTest::newRow("small lines") << QVector<int>({49999, 1, 1, 200000}) << 3;
        QTest::newRow("one huge line") << QVector<int>({300000}) << 1;
    }

    void LinesToDrop()
    {
        QFETCH(QVector<int>, lengths);
        QFETCH(int, drop);
        std::deque<int> const l_lengths(lengths.begin(), lengths.end());
        QCOMPARE(ChatLinesToDrop(l_lengths, std::accumulate(lengths.begin(), lengths.end(), qint64(0))), drop);
    }

    // A view holding exactly 250,000 characters takes the next line as it
    // is; one holding 250,001 first drops its oldest 50,000 or so.
    void ViewIsCutBack_data()
    {
        QTest::addColumn<int>("held");
        QTest::newRow("250,000") << 250000;
        QTest::newRow("250,001") << 250001;
    }

    void ViewIsCutBack()
    {
        QFETCH(int, held);
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        mp_view->SetLog(ChatLogKind::USER, QString());
        mp_view->AddChat("u", "first" + QString(995, 'x'));
        int const l_lineLength = int(mp_view->ShownLength());
        int const l_overhead = l_lineLength - 1000;
        while (mp_view->ShownLength() + 2 * l_lineLength < held)
            mp_view->AddChat("u", QString(1000, 'y'));
        mp_view->AddChat("u", QString(int(held - mp_view->ShownLength() - l_overhead), 'z'));
        QCOMPARE(mp_view->ShownLength(), qint64(held));
        int const l_lines = mp_view->document()->blockCount();
        mp_view->AddChat("u", "last");
        QStringList const l_shown = Shown();
        QCOMPARE(l_shown.last(), QString("[u] last"));
        if (held == 250000) {
            QCOMPARE(l_shown.size(), l_lines + 1);
            QVERIFY(l_shown.first().startsWith("[u] first"));
        } else {
            int const l_dropped = l_lines + 1 - l_shown.size();
            QCOMPARE(l_dropped, 50000 / l_lineLength + 1);
            QVERIFY(l_shown.first().startsWith("[u] yyy"));
            QCOMPARE(mp_view->ShownLength(), qint64(held - l_dropped * l_lineLength + l_overhead + 4));
        }
    }

    // ------------------------------------------------------------- logs

    void LogBytes()
    {
        QVERIFY(!QDir(LogRoot()).exists()); // made with the first line
        mp_view->AddChat("alice", QString::fromUtf8("h\xc3\xa9llo"));
        m_now = m_now.addSecs(1);
        mp_view->AddChat("me", "<b>x</b>  http://a.example/");
        mp_view->AddChat("alice", "/me waves");
        mp_view->AddStatusMessage("alice is away.");
        mp_view->AddChat("alice", "two\nlines");
        QByteArray const l_expected = "[Jan 5 3:07:09 pm][alice] h\xc3\xa9llo\n"
                                      "[Jan 5 3:07:10 pm][me] <b>x</b>  http://a.example/\n"
                                      "[Jan 5 3:07:10 pm] * alice waves\n"
                                      "[Jan 5 3:07:10 pm][alice] two\nlines\n";
        QCOMPARE(FileBytes(UserLog("alice")), l_expected);
        // Appended, never rewritten.
        ChatView l_second;
        l_second.SetClock([this]() { return m_now; });
        l_second.SetLog(ChatLogKind::USER, "alice");
        l_second.AddChat("alice", "more");
        QCOMPARE(FileBytes(UserLog("alice")), l_expected + "[Jan 5 3:07:10 pm][alice] more\n");
        QCOMPARE(UserLog("alice"), LogRoot() + "/Users/alice.log");
    }

    void SwitchedOff()
    {
        ChatLogForm* lp_viewer = Viewer();
        SetSwitch("log_private_chat", false);
        mp_view->AddChat("alice", "hello");
        QVERIFY(!QDir(LogRoot()).exists());
        QCOMPARE(ViewerLines(lp_viewer), QStringList());
        // The room switch is the room's own.
        ChatView l_room;
        l_room.SetLog(ChatLogKind::ROOM, "lobby");
        l_room.AddChat("alice", "in the room");
        QVERIFY(QFile::exists(LogRoot() + "/Rooms/lobby.log"));
    }

    // Other people choose room and user names: whatever they hold, the log
    // stays in its folder, and names without "%", "/" or NUL keep theirs.
    void NamesStayInTheFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::newRow("plain") << "Alice Smith" << "Alice Smith.log";
        QTest::newRow("up") << "../x" << "..%2Fx.log";
        QTest::newRow("slash") << "a/b" << "a%2Fb.log";
        QTest::newRow("percent") << "%" << "%25.log";
        QTest::newRow("escape-like") << "%2F" << "%252F.log";
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "a%00b.log";
        QTest::newRow("dots") << ".." << "...log";
        QTest::newRow("backslash") << "a\\b" << "a\\b.log";
        QTest::newRow("absolute") << "/etc/passwd" << "%2Fetc%2Fpasswd.log";
    }

    void NamesStayInTheFolder()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        QCOMPARE(ChatLogFileName(name), file);
        mp_view->SetLog(ChatLogKind::USER, name);
        mp_view->AddChat(name, "hi");
        QCOMPARE(QDir(LogRoot() + "/Users").entryList(QDir::Files | QDir::Hidden), QStringList(file));
        QCOMPARE(QDir(LogRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList("Users"));
        QCOMPARE(QDir::home().entryList({"x*", "*.log"}, QDir::AllEntries), QStringList());
    }

    void NoLogForAnEmptyName()
    {
        QCOMPARE(ChatLogFileName(QString()), QString());
        QCOMPARE(ChatLogPath(ChatLogKind::ROOM, QString(), "/home"), QString());
        QVERIFY(!AppendChatLog(QString(), "x"));
    }

    void ViewerFedWhenTheFileCannotBeWritten()
    {
        QVERIFY(QDir().mkpath(UserLog("alice"))); // a folder where the file would go
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(lp_viewer->Path().isEmpty());
        mp_view->AddChat("alice", "  hello  ");
        QCOMPARE(ViewerLines(lp_viewer), QStringList("[Jan 5 3:07:09 pm][alice]   hello"));
        QVERIFY(QFileInfo(UserLog("alice")).isDir());
    }

    // ----------------------------------------------------------- viewer

    // Each line is one paragraph of plain text; a line longer than 65,535
    // bytes comes in pieces, cut between characters.
    void ViewerShowsLinesAsText()
    {
        QByteArray const l_long = QByteArray(70000, 'a');
        QByteArray const l_wide = QString(35000, QChar(0xe9)).toUtf8();
        QVERIFY(WriteBytes(UserLog("alice"), "[Jan 5 3:07:09 pm][bob] <b>x</b>\n"
                                             "  <img src=\"file:///etc/hostname\">  \n" +
                                                 l_long + "\n" + l_wide + "\nlast"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        QCOMPARE(lp_viewer->Path(), UserLog("alice"));
        QStringList const l_lines = ViewerLines(lp_viewer);
        QCOMPARE(l_lines.mid(0, 2), QStringList({"[Jan 5 3:07:09 pm][bob] <b>x</b>", "<img src=\"file:///etc/hostname\">"}));
        QCOMPARE(l_lines.at(2), QString(65535, 'a'));
        QCOMPARE(l_lines.at(3), QString(4465, 'a'));
        QCOMPARE(l_lines.at(4), QString(32767, QChar(0xe9)));
        QCOMPARE(l_lines.at(5), QString(2233, QChar(0xe9)));
        QCOMPARE(l_lines.mid(6), QStringList("last"));
        QVERIFY(!HasImage(lp_viewer->Form()->logEdit->document()));

        mp_view->AddChat("bob", "<i>new</i>");
        QCOMPARE(ViewerLines(lp_viewer).mid(7), QStringList("[Jan 5 3:07:09 pm][bob] <i>new</i>"));
        QCOMPARE(Viewer(), lp_viewer);
        QCOMPARE(mp_tabs->count(), 1);
    }

    void ViewerSearch()
    {
        QVERIFY(WriteBytes(UserLog("alice"), "alpha Beta\ngamma\nbeta delta\nabab\n"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        QLineEdit* lp_search = lp_viewer->Form()->searchEdit;
        lp_search->setText("BETA");
        QCOMPARE(SearchState(lp_viewer), QString("0:6 back=0 forward=1"));
        lp_viewer->Form()->searchForwardButton->click();
        QCOMPARE(SearchState(lp_viewer), QString("2:0 back=1 forward=0"));
        lp_viewer->Form()->searchBackButton->click();
        QCOMPARE(SearchState(lp_viewer), QString("0:6 back=0 forward=1"));
        QCOMPARE(lp_viewer->Form()->logEdit->textCursor().position(), 6);
        QCOMPARE(lp_viewer->Form()->logEdit->extraSelections().first().format.background().color(),
                 ColorSetting("input_background"));

        // An occurrence right after the match counts for "forward".
        lp_search->setText("ab");
        QCOMPARE(SearchState(lp_viewer), QString("3:0 back=0 forward=1"));
        lp_viewer->Form()->searchForwardButton->click();
        QCOMPARE(SearchState(lp_viewer), QString("3:2 back=1 forward=0"));

        lp_search->setText("zeta");
        QCOMPARE(SearchState(lp_viewer), QString("none back=0 forward=0"));
        QCOMPARE(lp_viewer->Form()->logEdit->textCursor().position(), 0);
        lp_search->setText("gamma");
        lp_search->clear();
        QCOMPARE(SearchState(lp_viewer), QString("none back=0 forward=0"));
    }

    void ViewerClearAndFolder()
    {
        QVERIFY(WriteBytes(UserLog("alice"), "one\ntwo\n"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        AnswerNextQuestion(QMessageBox::No);
        lp_viewer->OnActionTriggered(lp_viewer, "clear_chat_log");
        QCOMPARE(ViewerLines(lp_viewer), QStringList({"one", "two"}));
        QCOMPARE(FileBytes(UserLog("alice")), QByteArray("one\ntwo\n"));
        lp_viewer->OnActionTriggered(mp_view.get(), "clear_chat_log"); // not its own: nothing asked
        AnswerNextQuestion(QMessageBox::Yes);
        lp_viewer->OnActionTriggered(lp_viewer, "clear_chat_log");
        QCOMPARE(ViewerLines(lp_viewer), QStringList());
        QVERIFY(!QFile::exists(UserLog("alice")));
        QVERIFY(QDir(LogRoot() + "/Users").exists()); // only the file went

        mp_view->AddChat("alice", "anew");
        QCOMPARE(ViewerLines(lp_viewer), QStringList("[Jan 5 3:07:09 pm][alice] anew"));
        QCOMPARE(FileBytes(UserLog("alice")), QByteArray("[Jan 5 3:07:09 pm][alice] anew\n"));

        lp_viewer->OnActionTriggered(lp_viewer, "open_log_folder");
        QCOMPARE(m_opened, QStringList(QUrl::fromLocalFile(LogRoot() + "/Users").toString()));
    }

    void ViewerWithoutFileHasNoActions()
    {
        ChatLogForm* lp_viewer = Viewer("nobody");
        QVERIFY(lp_viewer->Path().isEmpty());
        QVERIFY(d["toolbar_action_widget"]->HasItem(Value(static_cast<QWidget*>(lp_viewer))).IsNull());
        delete lp_viewer;
        QVERIFY(!ChatLogForm::Find(ChatLogKind::USER, "nobody"));
        QCOMPARE(d["chat_log_form"]->GetItemCount(), std::size_t(0));
    }

    // A long log is read in slices; lines logged meanwhile come after it.
    void ViewerLoadsInSlices()
    {
        QByteArray l_log;
        for (int l_line = 0; l_line < 40000; ++l_line)
            l_log += "[Jan 5 3:07:09 pm][bob] line " + QByteArray::number(l_line) + " of a long conversation\n";
        QVERIFY(WriteBytes(UserLog("alice"), l_log));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(lp_viewer->IsLoading());
        QSignalSpy l_loaded(lp_viewer, &ChatLogForm::Loaded);
        mp_view->AddChat("alice", "late");
        QVERIFY(l_loaded.wait(10000));
        QStringList const l_lines = ViewerLines(lp_viewer);
        QCOMPARE(l_lines.size(), 40001);
        QCOMPARE(l_lines.at(39999), QString("[Jan 5 3:07:09 pm][bob] line 39999 of a long conversation"));
        QCOMPARE(l_lines.last(), QString("[Jan 5 3:07:09 pm][alice] late"));
    }
};

QTEST_MAIN(ChatViewTest)
#include "ChatViewTest.moc"
