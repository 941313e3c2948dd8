// The chat rules and the one chat view of the room and private pages: each
// time-stamp mode, "/me" lines, the conversation's end on a clock moved by
// hand, the cut of a long view, the log files (bytes, switch, names that
// must stay in the log folder) and the log viewer (pieces of long lines,
// plain text only, search, clear, slices). Run under a German system
// locale: logs and stamps stay in the C locale.

#include "ChatFixture.h"
#include "LogViewerMarks.h"

#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatView.h"
#include "ui_ChatLogForm.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>

#include <sys/stat.h>

class ChatViewTest : public QObject, public ChatFixture
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_opened << i_url.toString(); }

private:
    std::unique_ptr<ChatView> mp_view;
    std::unique_ptr<QTabWidget> mp_tabs;
    QStringList m_opened;
    QString const m_started = "* Chat started Jan 5 3:07:09 pm";

    QStringList Shown() const { return Paragraphs(mp_view->document()); }
    ChatLogForm* Viewer() { return ChatLogForm::Open(ChatLogKind::USER, "alice", mp_tabs.get()); }
    static QStringList ViewerLines(ChatLogForm* ip_viewer) { return Paragraphs(ip_viewer->Form()->logEdit->document()); }
    static bool Loaded(ChatLogForm* ip_viewer)
    {
        QSignalSpy l_loaded(ip_viewer, &ChatLogForm::Loaded);
        return !ip_viewer->IsLoading() || l_loaded.wait(WAIT_MS);
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
        mp_view->SetLog(ChatLogKind::USER, "alice");
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

    // Each mode, for another user's line and an own line (the own-name test
    // is case-sensitive): what the view shows, the bold own text, the log.
    void Modes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("activity") << "activity_based" << "alice" << QStringList({m_started, "[alice] hello"});
        QTest::newRow("activity own") << "activity_based" << "me" << QStringList({m_started, "[me] hello"});
        QTest::newRow("short") << "per_message_short" << "alice" << QStringList("[15:07:09][alice] hello");
        QTest::newRow("short own") << "per_message_short" << "me" << QStringList("[15:07:09][me] hello");
        QTest::newRow("long") << "per_message_long" << "alice" << QStringList("[Jan 5 3:07:09 pm][alice] hello");
        QTest::newRow("long own") << "per_message_long" << "me" << QStringList("[Jan 5 3:07:09 pm][me] hello");
        QTest::newRow("none") << "no_timestamps" << "alice" << QStringList("[alice] hello");
        QTest::newRow("none, own in capitals") << "no_timestamps" << "Me" << QStringList("[Me] hello");
        QTest::newRow("unknown mode, own") << "sometimes" << "me" << QStringList("[me] hello");
    }

    void Modes()
    {
        QFETCH(QString, mode);
        QFETCH(QString, user);
        QFETCH(QStringList, shown);
        SetSetting("chat_timestamps", mode);
        QCOMPARE(mp_view->AddChat(user, "hello"), ChatView::ORDINARY_LINE);
        QCOMPARE(Shown(), shown);
        QTextCursor l_end(mp_view->document());
        l_end.movePosition(QTextCursor::End);
        bool const l_own = user == "me";
        QCOMPARE(l_end.charFormat().fontWeight() == QFont::Bold, l_own);
        QCOMPARE(l_end.charFormat().foreground().color().name(), QString(l_own ? "#00aaff" : "#000000"));
        QCOMPARE(FileBytes(UserLog("alice")), "[Jan 5 3:07:09 pm][" + user.toUtf8() + "] hello\n");
    }

    // An action is a status line, logged as an action entry, with no start
    // marker; everything else is an ordinary line, logged as received.
    void Actions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown"); // an ordinary line follows the start marker
        QTest::addColumn<QByteArray>("log");
        QByteArray const l_action = "[Jan 5 3:07:09 pm] * alice waves\n";
        QTest::newRow("blanks around") << "  /me waves  " << "* alice waves" << l_action;
        QTest::newRow("two blanks after") << "/me  waves" << "* alice waves" << l_action;
        QTest::newRow("one blank before") << " /me waves" << "* alice waves" << l_action;
        QTest::newRow("markup") << "/me <b>bows</b>" << "* alice <b>bows</b>"
                                << QByteArray("[Jan 5 3:07:09 pm] * alice <b>bows</b>\n");
        QTest::newRow("alone") << "/me" << "[alice] /me" << QByteArray("[Jan 5 3:07:09 pm][alice] /me\n");
        QTest::newRow("blanks only") << "/me   " << "[alice] /me   " << QByteArray("[Jan 5 3:07:09 pm][alice] /me   \n");
        QTest::newRow("capital M") << "/Me waves" << "[alice] /Me waves" << QByteArray("[Jan 5 3:07:09 pm][alice] /Me waves\n");
        QTest::newRow("glued") << "/mewaves" << "[alice] /mewaves" << QByteArray("[Jan 5 3:07:09 pm][alice] /mewaves\n");
    }

    void Actions()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(QByteArray, log);
        bool const l_action = shown.startsWith('*');
        QCOMPARE(mp_view->AddChat("alice", text), l_action ? ChatView::ACTION_LINE : ChatView::ORDINARY_LINE);
        QCOMPARE(Shown(), l_action ? QStringList(shown) : QStringList({m_started, shown}));
        QCOMPARE(FileBytes(UserLog("alice")), log);
        QCOMPARE(mp_view->IsChatActive(), !l_action);
    }

    // The conversation ends once more than 299,999 ms passed since its last
    // ordinary line (an action does not count); the end marker carries that
    // line's time, and the next line starts a new conversation.
    void Inactivity_data()
    {
        QTest::addColumn<int>("quietMs");
        QTest::newRow("299,999 ms") << 299999;
        QTest::newRow("300,000 ms") << 300000;
    }

    void Inactivity()
    {
        QFETCH(int, quietMs);
        bool const l_ended = quietMs >= 300000;
        mp_view->AddChat("alice", "hello");
        m_now = m_now.addSecs(10);
        mp_view->AddChat("alice", "/me waits");
        m_now = m_now.addMSecs(quietMs - 10000);
        mp_view->CheckChatInactivity();
        mp_view->CheckChatInactivity();
        QCOMPARE(mp_view->IsChatActive(), !l_ended);
        mp_view->AddChat("alice", "back");
        QStringList l_shown = {m_started, "[alice] hello", "* alice waits"};
        if (l_ended)
            l_shown << "* Chat ended Jan 5 3:07:09 pm" << "* Chat started Jan 5 3:12:09 pm";
        QCOMPARE(Shown(), l_shown << "[alice] back");
    }

    // Peer text never becomes markup, a line stays one paragraph, and the
    // only links are web addresses.
    void HostileLineStaysText()
    {
        QString const l_text = "<img src=\"file:///etc/hostname\"> <a href=\"file:///etc\">x</a> http://ok.example/";
        mp_view->AddChat("<img src=x>", l_text);
        mp_view->AddChat("alice", QString("one\ntwo\rthree") + QChar(QChar::ParagraphSeparator) + "four" + QChar(0xfdd0) + "five");
        QStringList l_anchors;
        for (QTextBlock l_block = mp_view->document()->begin(); l_block.isValid(); l_block = l_block.next())
            for (auto l_part = l_block.begin(); !l_part.atEnd(); ++l_part) {
                QVERIFY(!l_part.fragment().charFormat().isImageFormat());
                if (l_part.fragment().charFormat().isAnchor())
                    l_anchors << l_part.fragment().charFormat().anchorHref();
            }
        QCOMPARE(l_anchors, QStringList("http://ok.example/"));
        QCOMPARE(Shown().mid(1), QStringList({"[<img src=x>] " + l_text, "[alice] one two three four five"}));
        QCOMPARE(FileBytes(UserLog("alice")).split('\n').at(2), QByteArray("two\rthree\xe2\x80\xa9" "four\xef\xb7\x90" "five"));
    }

    // A line is shown as far as the view can lay it out in bounded time: a
    // place to break after every 128 letters of a word, at most 4,096
    // characters, a change of script or direction counting 9, then a note;
    // a web address runs on across the breaks; the log keeps the line.
    void LongLineIsBounded_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QChar const l_break(0x200B);
        QString const l_note = " [The rest of the text is too long to show.]";
        // "[me] " counts 5, the first letter 1, each other letter 1, or 9
        // where the script changes.
        QString const l_turns = QString::fromUtf8("a\xd7\x90").repeated(65500);
        QString l_turnsShown;
        for (int l_at = 0; l_at < 455; l_at += 128)
            l_turnsShown += l_turns.mid(l_at, std::min(128, 455 - l_at)) + l_break;
        l_turnsShown.chop(1);
        QString const l_address = "http://a.example/" + QString(200, 'p');
        QTest::newRow("one word of 131,000")
            << QString(131000, 'w') << "[me] " + (QString(128, 'w') + l_break).repeated(31) + QString(123, 'w') + l_note;
        QTest::newRow("within the bound") << QString(300, 'w') << "[me] " + QString(128, 'w') + l_break + QString(128, 'w') + l_break + QString(44, 'w');
        // Cut, the text is isolated before the note (its direction closed).
        QTest::newRow("Latin and Hebrew in turn") << l_turns << "[me] \u2068" + l_turnsShown + "\u2069" + l_note;
        QTest::newRow("a long address") << l_address + " x" << "[me] " + l_address.left(128) + l_break + l_address.mid(128) + " x";
        // Every mark that ends a paragraph shows as a blank; a cut line of
        // them is isolated once, not once between each two.
        QTest::newRow("paragraph marks") << QString::fromUtf8("x\x1cy\xc2\x85z\x1dw\x1ev\xe2\x80\xa9u\ry")
                                         << "[me] x y z w v u y";
        QTest::newRow("cut line of paragraph marks") << QString::fromUtf8("\xd7\x90\x1c").repeated(4097)
            << "[me] \u2068" + QString::fromUtf8("\xd7\x90 ").repeated(2045) + QString::fromUtf8("\xd7\x90") + "\u2069" + l_note;
    }

    void LongLineIsBounded()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        mp_view->AddChat("me", text);
        QCOMPARE(Shown(), QStringList(shown));
        QStringList l_anchors;
        for (auto l_part = mp_view->document()->begin().begin(); !l_part.atEnd(); ++l_part)
            if (l_part.fragment().charFormat().isAnchor())
                l_anchors << l_part.fragment().charFormat().anchorHref();
        QCOMPARE(l_anchors, text.startsWith("http") ? QStringList(text.left(217)) : QStringList());
        QCOMPARE(FileBytes(UserLog("alice")), "[Jan 5 3:07:09 pm][me] " + text.toUtf8() + '\n');
    }

    // A shown view follows new lines to its end (a flood in bursts); one
    // scrolled up keeps its top line, whether the next line comes in a
    // burst or after a quiet spell. (The top line, not the scroll bar's
    // value: that counts the wrapped lines of the paragraphs above, which
    // are laid out lazily and may count differently later while the same
    // line stays on top.)
    void FollowsTheEndUnlessScrolledUp()
    {
        mp_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(mp_view.get()));
        QScrollBar* lp_bar = mp_view->verticalScrollBar();
        for (int l_line = 0; l_line < 300; ++l_line)
            mp_view->AddChat("alice", QString::number(l_line));
        QVERIFY(!mp_view->updatesEnabled()); // the burst is held back
        QTRY_VERIFY(mp_view->updatesEnabled());
        QVERIFY(lp_bar->maximum() > 0 && lp_bar->value() == lp_bar->maximum());
        auto const l_topLine = [this]() { return mp_view->cursorForPosition(QPoint(0, 0)).blockNumber(); };
        lp_bar->setValue(10);
        int const l_top = l_topLine();
        QVERIFY(l_top > 0);
        mp_view->AddChat("alice", "one more");
        QTRY_VERIFY(mp_view->updatesEnabled());
        QCOMPARE(l_topLine(), l_top);
        QVERIFY(lp_bar->value() < lp_bar->maximum());
    }

    // A line of many web addresses is laid out in one pass, whether it comes
    // alone or in a burst (then with the burst, when it ends), with each
    // address shown a link up to where the line is cut.
    void ManyLinksAreLaidOutOnce_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("burst");
        QTest::addColumn<int>("links");
        QStringList l_addresses;
        for (int l_k = 0; l_k < 290; ++l_k)
            l_addresses << QString("http://h%1.e/").arg(l_k);
        QTest::newRow("290 addresses alone") << l_addresses.join(' ') << false << 280;
        QTest::newRow("290 addresses in a burst") << l_addresses.join(' ') << true << 280;
        QTest::newRow("455 short ones alone") << QString("http://a ").repeated(455) << false << 454;
    }

    void ManyLinksAreLaidOutOnce()
    {
        QFETCH(QString, text);
        QFETCH(bool, burst);
        QFETCH(int, links);
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        mp_view->show();
        if (burst)
            mp_view->AddChat("bob", "first");
        int const l_before = mp_view->LayoutPasses();
        mp_view->AddChat("bob", text);
        if (burst) {
            QCOMPARE(mp_view->LayoutPasses(), l_before);
            QTRY_VERIFY(mp_view->updatesEnabled());
        }
        QCOMPARE(mp_view->LayoutPasses(), l_before + 1);
        int l_links = 0;
        for (auto l_part = mp_view->document()->lastBlock().begin(); !l_part.atEnd(); ++l_part)
            l_links += l_part.fragment().charFormat().isAnchor();
        QCOMPARE(l_links, links);
        QVERIFY(Shown().last().endsWith(" [The rest of the text is too long to show.]"));
    }

    // 250,000 counted characters are kept; at 250,001 the lines within the
    // first 50,000, and the one holding character 50,000, go.
    void LinesToDrop_data()
    {
        QTest::addColumn<QVector<int>>("lengths");
        QTest::addColumn<int>("drop");
        QTest::newRow("250,000") << QVector<int>({100000, 100000, 50000}) << 0;
        QTest::newRow("250,001") << QVector<int>({100000, 100000, 50001}) << 1;
        QTest::newRow("cut on a line's end") << QVector<int>({50000, 200001}) << 2;
        QTest::newRow("small lines") << QVector<int>({49999, 1, 1, 200000}) << 3;
    }

    void LinesToDrop()
    {
        QFETCH(QVector<int>, lengths);
        QFETCH(int, drop);
        qint64 l_total = 0;
        for (int l_length : lengths)
            l_total += l_length;
        QCOMPARE(ChatLinesToDrop(std::deque<int>(lengths.begin(), lengths.end()), l_total), drop);
    }

    void ViewIsCutBack()
    {
        SetSetting("chat_timestamps", QStringLiteral("no_timestamps"));
        mp_view->AddChat("u", "first" + QString(995, 'x'));
        qint64 const l_line = mp_view->ShownLength();
        while (mp_view->ShownLength() <= 250000)
            mp_view->AddChat("u", QString(1000, 'y'));
        int const l_lines = mp_view->document()->blockCount();
        mp_view->AddChat("u", QString(1000, 'z'));
        QCOMPARE(mp_view->document()->blockCount(), l_lines + 1 - int(50000 / l_line + 1));
        QVERIFY(Shown().first().startsWith("[u] yyy") && Shown().last().startsWith("[u] zzz"));
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
        ChatView l_second; // appends, never rewrites
        l_second.SetLog(ChatLogKind::USER, "alice");
        l_second.SetClock([this]() { return m_now; });
        l_second.AddChat("alice", "more");
        QCOMPARE(FileBytes(LogRoot() + "/Users/alice.log"), QByteArray("[Jan 5 3:07:09 pm][alice] h\xc3\xa9llo\n"
                                                                       "[Jan 5 3:07:10 pm][me] <b>x</b>  http://a.example/\n"
                                                                       "[Jan 5 3:07:10 pm] * alice waves\n"
                                                                       "[Jan 5 3:07:10 pm][alice] two\nlines\n"
                                                                       "[Jan 5 3:07:10 pm][alice] more\n"));
    }

    void SwitchedOff()
    {
        ChatLogForm* lp_viewer = Viewer();
        SetSwitch("log_private_chat", false);
        mp_view->AddChat("alice", "hello");
        QVERIFY(!QDir(LogRoot()).exists());
        QCOMPARE(ViewerLines(lp_viewer), QStringList());
        ChatView l_room; // the room switch is the room's own
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
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "a%00b.log";
        QTest::newRow("absolute") << "/etc/passwd" << "%2Fetc%2Fpasswd.log";
        // A listing of the folder shows no terminal escape, and a name
        // cannot be split over lines.
        QTest::newRow("ESC") << "a\x1b[2Jb" << "a%1B[2Jb.log";
        QTest::newRow("CR LF") << "a\r\nb" << "a%0D%0Ab.log";
        QTest::newRow("tab, DEL") << "a\tb\x7f" << "a%09b%7F.log";
        QTest::newRow("C1 CSI") << QString("a") + QChar(0x9b) + "b" << "a%C2%9Bb.log";
        QTest::newRow("beyond") << QString::fromUtf8("Zo\xc3\xab \xe2\x80\xae~") << QString::fromUtf8("Zo\xc3\xab \xe2\x80\xae~.log");
    }

    void NamesStayInTheFolder()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        mp_view->SetLog(ChatLogKind::USER, name);
        mp_view->AddChat(name, "hi");
        QCOMPARE(QDir(LogRoot() + "/Users").entryList(QDir::Files | QDir::Hidden), QStringList(file));
        QCOMPARE(QDir(LogRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList("Users"));
        QCOMPARE(QDir::home().entryList({"x*", "*.log"}, QDir::AllEntries), QStringList());
    }

    // Private conversations are the owner's alone: folders 0700, files
    // 0600, whatever the umask; folders an older version made 0755 are
    // tightened, and the files in them with them.
    void LogsAreTheOwnersAlone()
    {
        QTemporaryDir l_home;
        QByteArray const l_oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(l_home.path()));
        mode_t const l_umask = ::umask(0);
        auto const l_mode = [](QString const& i_path) {
            struct stat l_stat;
            return ::stat(QFile::encodeName(i_path).constData(), &l_stat) == 0 ? int(l_stat.st_mode & 0777) : -1;
        };
        // A view takes its log's path when it is given its log.
        mp_view->SetLog(ChatLogKind::USER, "alice");
        mp_view->AddChat("alice", "hi");
        QString const l_root = l_home.path() + "/Quillmar Chat Logs";
        QCOMPARE(l_mode(l_root), 0700);
        QCOMPARE(l_mode(l_root + "/Users"), 0700);
        QCOMPARE(l_mode(l_root + "/Users/alice.log"), 0600);

        QVERIFY(QDir().mkpath(l_root + "/Rooms"));
        QVERIFY(::chmod(QFile::encodeName(l_root).constData(), 0755) == 0);
        QVERIFY(WriteBytes(l_root + "/Rooms/lobby.log", "old\n"));
        QCOMPARE(l_mode(l_root + "/Rooms"), 0777);
        ChatView l_room;
        l_room.SetClock([this]() { return m_now; });
        l_room.SetLog(ChatLogKind::ROOM, "lobby");
        l_room.AddChat("bob", "hey");
        QCOMPARE(l_mode(l_root), 0700);
        QCOMPARE(l_mode(l_root + "/Rooms"), 0700);
        ::umask(l_umask);
        qputenv("HOME", l_oldHome);
    }

    void ViewerFedWhenTheFileCannotBeWritten()
    {
        QVERIFY(QDir().mkpath(UserLog("alice"))); // a folder where the file would go
        ChatLogForm* lp_viewer = Viewer();
        mp_view->AddChat("alice", "  hello  ");
        QCOMPARE(ViewerLines(lp_viewer), QStringList("[Jan 5 3:07:09 pm][alice]   hello"));
    }

    // ----------------------------------------------------------- viewer

    // Each line is one paragraph of plain text; a line longer than 2,048
    // bytes comes in pieces, cut between characters, whether it was read
    // from the file or logged while the viewer is open.
    void ViewerShowsLinesAsText()
    {
        QVERIFY(WriteBytes(UserLog("alice"), "[Jan 5 3:07:09 pm][bob] <b>x</b>\n  <img src=\"file:///etc/hostname\">  \n" +
                                                 QByteArray(8000, 'a') + "\n" + QString(4000, QChar(0xe9)).toUtf8() +
                                                 "\nlast"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        mp_view->AddChat("bob", "<i>new</i>");
        mp_view->AddChat("bob", QString(3000, 'b'));
        QString const l_a(2048, 'a');
        QString const l_e(1024, QChar(0xe9));
        QCOMPARE(ViewerLines(lp_viewer),
                 QStringList({"[Jan 5 3:07:09 pm][bob] <b>x</b>", "<img src=\"file:///etc/hostname\">", l_a, l_a, l_a,
                              QString(1856, 'a'), l_e, l_e, l_e, QString(928, QChar(0xe9)), "last",
                              "[Jan 5 3:07:09 pm][bob] <i>new</i>", "[Jan 5 3:07:09 pm][bob] " + QString(2024, 'b'),
                              QString(976, 'b')}));
        QCOMPARE(Viewer(), lp_viewer);
        QCOMPARE(mp_tabs->count(), 1);
    }

    void ViewerSearch()
    {
        QVERIFY(WriteBytes(UserLog("alice"), "alpha Beta\ngamma\nbeta delta\nabab\n"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        QLineEdit* lp_search = lp_viewer->Form()->searchEdit;
        QPushButton* lp_forward = lp_viewer->Form()->searchForwardButton;
        lp_search->setText("BETA");
        QCOMPARE(SearchedMatch(lp_viewer), QString("0:6 back=0 forward=1"));
        // The mark stands out from the view it is painted on.
        QTextCharFormat const l_mark = lp_viewer->Form()->logEdit->extraSelections().first().format;
        QColor const l_paper = lp_viewer->Form()->logEdit->palette().color(QPalette::Base);
        QVERIFY(l_mark.background().color() != l_paper);
        QCOMPARE(l_mark.foreground().color(), l_paper);
        lp_forward->click();
        QCOMPARE(SearchedMatch(lp_viewer), QString("2:0 back=1 forward=0"));
        lp_viewer->Form()->searchBackButton->click();
        QCOMPARE(SearchedMatch(lp_viewer), QString("0:6 back=0 forward=1"));
        QCOMPARE(lp_viewer->Form()->logEdit->textCursor().position(), 6);
        // An occurrence right after the match counts for "forward".
        lp_search->setText("ab");
        QCOMPARE(SearchedMatch(lp_viewer), QString("3:0 back=0 forward=1"));
        lp_forward->click();
        QCOMPARE(SearchedMatch(lp_viewer), QString("3:2 back=1 forward=0"));
        lp_search->setText("zeta");
        QCOMPARE(SearchedMatch(lp_viewer), QString("none back=0 forward=0"));
        lp_search->setText("gamma");
        lp_search->clear();
        QCOMPARE(SearchedMatch(lp_viewer), QString("none back=0 forward=0"));
    }

    void ViewerClearAndFolder()
    {
        QVERIFY(WriteBytes(UserLog("alice"), "one\ntwo\n"));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(Loaded(lp_viewer));
        AnswerNextQuestion(QMessageBox::No);
        lp_viewer->OnActionTriggered(lp_viewer, "clear_chat_log");
        lp_viewer->OnActionTriggered(mp_view.get(), "clear_chat_log"); // not its own: nothing asked
        QCOMPARE(ViewerLines(lp_viewer), QStringList({"one", "two"}));
        QCOMPARE(FileBytes(UserLog("alice")), QByteArray("one\ntwo\n"));
        AnswerNextQuestion(QMessageBox::Yes);
        lp_viewer->OnActionTriggered(lp_viewer, "clear_chat_log");
        QCOMPARE(ViewerLines(lp_viewer), QStringList());
        QVERIFY(!QFile::exists(UserLog("alice")) && QDir(LogRoot() + "/Users").exists());
        mp_view->AddChat("alice", "anew");
        QCOMPARE(ViewerLines(lp_viewer), QStringList("[Jan 5 3:07:09 pm][alice] anew"));
        QCOMPARE(FileBytes(UserLog("alice")), QByteArray("[Jan 5 3:07:09 pm][alice] anew\n"));
        lp_viewer->OnActionTriggered(lp_viewer, "open_log_folder");
        QCOMPARE(m_opened, QStringList(QUrl::fromLocalFile(LogRoot() + "/Users").toString()));
    }

    // A long log is read in slices, and lines logged meanwhile come after
    // it; of a huge one only the last whole lines are shown, after a note.
    void ViewerLoadsLongLogs()
    {
        QByteArray l_log;
        for (int l_line = 0; l_line < 100000; ++l_line)
            l_log += "line " + QByteArray::number(l_line + 100000) + '\n';
        QVERIFY(WriteBytes(UserLog("alice"), l_log));
        ChatLogForm* lp_viewer = Viewer();
        QVERIFY(lp_viewer->IsLoading());
        mp_view->AddChat("alice", "late");
        QVERIFY(Loaded(lp_viewer));
        QStringList const l_lines = ViewerLines(lp_viewer);
        QCOMPARE(l_lines.size(), 100001);
        QCOMPARE(l_lines.mid(99999), QStringList({"line 199999", "[Jan 5 3:07:09 pm][alice] late"}));

        delete lp_viewer;
        QVERIFY(WriteBytes(UserLog("alice"), "line 1\nline 2\nline 3\nline 4\n"));
        ChatLogForm::SetMostBytesShown(17); // within "line 2\n", then two lines
        lp_viewer = Viewer();
        ChatLogForm::SetMostBytesShown(100000000);
        QVERIFY(Loaded(lp_viewer));
        QCOMPARE(ViewerLines(lp_viewer),
                 QStringList({"[Only the last 17 bytes of this log are shown.]", "line 3", "line 4"}));
    }
};

QTEST_MAIN(ChatViewTest)
#include "ChatViewTest.moc"
