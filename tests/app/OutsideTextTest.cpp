// Text from outside inside our own sentences: the texts as composed, and
// where their characters land once laid out, so that a name's direction is
// seen not to reach past it whatever the strings look like.

#include "app/MainWindow.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatRules.h"
#include "ui/chat/RoomsForm.h"
#include "ui/transfers/TransferRows.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/StatusBar.h"
#include "ui/widgets/TabWidget.h"

#include <QTabWidget>
#include <QTextLayout>
#include <QtTest>

namespace {

QString const EVIL = QStringLiteral("evil name: \u202E");
QString const ARABIC = QStringLiteral("\u0639\u0645\u0631 1");
QString const ELLIPSIS = QStringLiteral("\u2026");

QString Text(ChatLine const& i_line)
{
    QString l_text;
    for (ChatRun const& l_run : i_line)
        l_text += l_run.m_text;
    return l_text;
}

// The x of each position's leading edge on one line, laid out as a widget
// lays out its text in the direction given.
QVector<qreal> Edges(QString const& i_text, Qt::LayoutDirection i_direction)
{
    QTextLayout l_layout(i_text, QFont());
    QTextOption l_option;
    l_option.setTextDirection(i_direction);
    l_layout.setTextOption(l_option);
    l_layout.beginLayout();
    QTextLine l_line = l_layout.createLine();
    l_line.setLineWidth(1e6);
    l_layout.endLayout();
    QVector<qreal> l_edges;
    for (int l_pos = 0; l_pos < i_text.size(); ++l_pos)
        l_edges.append(l_line.cursorToX(l_pos));
    return l_edges;
}

// Our own pieces, found in order in the text, read left to right as
// written, and what lies between two of them (text from outside) lies
// between them on the line too. Empty when so, otherwise what is wrong.
QString ReadsInOrder(QString const& i_text, QStringList const& i_own, Qt::LayoutDirection i_direction)
{
    QVector<qreal> const l_x = Edges(i_text, i_direction);
    QVector<bool> l_isOwn(i_text.size(), false);
    int l_from = 0;
    for (QString const& l_piece : i_own) {
        int const l_at = i_text.indexOf(l_piece, l_from);
        if (l_at < 0)
            return QStringLiteral("no \"%1\"").arg(l_piece);
        for (int l_pos = l_at; l_pos < l_at + l_piece.size(); ++l_pos)
            l_isOwn[l_pos] = true;
        l_from = l_at + l_piece.size();
    }
    int l_lastOwn = -1;
    for (int l_pos = 0; l_pos < i_text.size(); ++l_pos) {
        if (!l_isOwn[l_pos])
            continue;
        if (l_lastOwn >= 0 && l_x[l_pos] <= l_x[l_lastOwn])
            return QStringLiteral("own character %1 left of %2").arg(l_pos).arg(l_lastOwn);
        for (int l_outside = l_lastOwn + 1; l_outside < l_pos; ++l_outside)
            if ((l_lastOwn >= 0 && l_x[l_outside] < l_x[l_lastOwn]) || l_x[l_outside] > l_x[l_pos])
                return QStringLiteral("outside character %1 not between %2 and %3").arg(l_outside).arg(l_lastOwn).arg(l_pos);
        l_lastOwn = l_pos;
    }
    return QString();
}

} // namespace

class OutsideTextTest : public QObject
{
    Q_OBJECT

private slots:
    void IsolatesWhatCanTurnItsSurroundings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("isolated");
        QTest::newRow("left to right only") << "Zoë <b>&amp; 12" << "Zoë <b>&amp; 12";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("override left open") << EVIL << "\u2068evil name: \u202E\u2069";
        QTest::newRow("right to left letters") << ARABIC << "\u2068\u0639\u0645\u0631 1\u2069";
        QTest::newRow("stray pops dropped") << "a\u2069\u202Eb\u2069" << "\u2068a\u202Eb\u2069";
        QTest::newRow("its own isolates kept") << "\u2067x\u2069\u202Ey" << "\u2068\u2067x\u2069\u202Ey\u2069";
        QTest::newRow("its open isolates closed") << "x\u2067\u2066\u202Ey" << "\u2068x\u2067\u2066\u202Ey\u2069\u2069\u2069";
        QTest::newRow("each paragraph") << "\u202Ea\u2067\nb\u2069" << "\u2068\u202Ea\u2067\u2069\u2069\n\u2068b\u2069";
        QTest::newRow("beyond the basic plane") << QString::fromUcs4(U"\U0001E900x") << QString::fromUcs4(U"\u2068\U0001E900x\u2069");
    }
    void IsolatesWhatCanTurnItsSurroundings()
    {
        QFETCH(QString, text);
        QFETCH(QString, isolated);
        QCOMPARE(Isolated(text), isolated);
    }

    // The places where our own text meets a name: the text as composed,
    // and our own pieces in it, which must read as written around the
    // names laid out among them.
    void OwnTextReadsAsWrittenAroundNames_data()
    {
        QTest::addColumn<QString>("composed");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("own");
        QTest::newRow("status button")
            << ActionSetToolBar::StatusText(EVIL, "Available") << "\u2068evil name: \u202E\u2069: Available"
            << QStringList{": Available"};
        QTest::newRow("status button, right to left name")
            << ActionSetToolBar::StatusText(ARABIC, "Away") << "\u2068\u0639\u0645\u0631 1\u2069: Away"
            << QStringList{": Away"};
        QTest::newRow("status button, stray pop")
            << ActionSetToolBar::StatusText("a\u2069\u202Eb", "Available") << "\u2068a\u202Eb\u2069: Available"
            << QStringList{": Available"};
        QTest::newRow("private line")
            << Text(ChatTextLine(ChatTimestamps::NONE, QDateTime(), EVIL, "this is my reply text", false))
            << "[\u2068evil name: \u202E\u2069] this is my reply text" << QStringList{"[", "] this is my reply text"};
        QTest::newRow("log line")
            << ChatLogEntry(QDateTime(QDate(2024, 1, 5), QTime(15, 7, 9)), EVIL, "hello")
            << "[Jan 5 3:07:09 pm][\u2068evil name: \u202E\u2069] hello" << QStringList{"[Jan 5 3:07:09 pm][", "] hello"};
        QTest::newRow("log line, action")
            << ChatLogEntry(QDateTime(QDate(2024, 1, 5), QTime(15, 7, 9)), EVIL, "/me waves")
            << "[Jan 5 3:07:09 pm] * \u2068evil name: \u202E\u2069 waves" << QStringList{"[Jan 5 3:07:09 pm] * ", " waves"};
        QTest::newRow("cut line's note")
            << Text(ChatShownLine(ChatTextLine(ChatTimestamps::NONE, QDateTime(), "bob", "\u202E" + QString(100, 'w').repeated(50), false))).right(46)
            << "w\u2069 [The rest of the text is too long to show.]" << QStringList{" [The rest of the text is too long to show.]"};
        QTest::newRow("chat alert button")
            << ChatForm::BalloonText(EVIL, "hi") << "[\u2068evil name: \u202E\u2069] hi" << QStringList{"[", "] "};
        QTest::newRow("refused upload")
            << TransferRows::DenialToolTip("Banned", EVIL, false) << "\u2068evil name: \u202E\u2069 refused: Banned"
            << QStringList{" refused: "};
        QTest::newRow("refused upload, reason")
            << TransferRows::DenialToolTip("\u202ENo", "bob", true) << "bob refused: \u2068\u202ENo\u2069"
            << QStringList{" refused: "};
        QTest::newRow("give up room")
            << RoomsForm::GiveUpQuestion("priv <u>\u202Eroom</u> &quot;", true)
            << "Are you SURE you want to give up your ownership of the \u2068priv <u>\u202Eroom</u> &quot;\u2069 "
               "private room?"
            << QStringList{"Are you SURE you want to give up your ownership of the ", " private room?"};
        QTest::newRow("window title")
            << MainWindow::BuildTitle(20261208, ARABIC) << "QuillmarQt build 2026.12.8 [\u2068\u0639\u0645\u0631 1\u2069]"
            << QStringList{"QuillmarQt build 2026.12.8 [", "]"};
        StatusBar l_bar;
        l_bar.ShowMessage("x could not be saved: the file could not be opened: ", "/d/\u202Ez");
        QTest::newRow("status bar path")
            << l_bar.currentMessage() << "x could not be saved: the file could not be opened: \u2068/d/\u202Ez\u2069"
            << QStringList{"x could not be saved: the file could not be opened: "};
        l_bar.ShowMessage("a.mp3 is already downloaded, in ", "/d/\u05D0/b");
        QTest::newRow("status bar path, right to left folder")
            << l_bar.currentMessage() << "a.mp3 is already downloaded, in \u2068/d/\u05D0/b\u2069"
            << QStringList{"a.mp3 is already downloaded, in "};
        QTest::newRow("tab title")
            << "Upload to " + TabTitle(EVIL) + " x" << "Upload to \u2068evil name: \u202E\u2069 x"
            << QStringList{"Upload to ", " x"};
    }
    void OwnTextReadsAsWrittenAroundNames()
    {
        QFETCH(QString, composed);
        QFETCH(QString, expected);
        QFETCH(QStringList, own);
        QCOMPARE(composed, expected);
        QCOMPARE(ReadsInOrder(composed, own, Qt::LeftToRight), QString());
        QCOMPARE(ReadsInOrder(composed, own, Qt::LayoutDirectionAuto), QString());
    }

    // An engine's reason names its path last, isolated: the status bar still
    // finds it, with its isolate, to elide it in its middle.
    void FindsAnIsolatedPathAtTheEnd()
    {
        QCOMPARE(TrailingPathLength("could not be made: /d/e"), 4);
        QCOMPARE(TrailingPathLength("could not be made: \u2068/d/\u202Ee\u2069"), 7);
        QCOMPARE(TrailingPathLength("moved into \u2068/a\u2069; it stays in \u2068/d\u2069"), 4);
        QCOMPARE(TrailingPathLength("no path here"), 0);
    }

    // The check above sees what isolation prevents: the same sentences
    // composed without it do not read as written.
    void LayoutCheckSeesATurnedSentence()
    {
        QVERIFY(!ReadsInOrder(EVIL + ": Available", {": Available"}, Qt::LeftToRight).isEmpty());
        QVERIFY(!ReadsInOrder(ARABIC + ": Away", {": Away"}, Qt::LayoutDirectionAuto).isEmpty());
        QVERIFY(!ReadsInOrder("x \u2068a\u2069\u202Eb\u2069 y", {"x ", " y"}, Qt::LeftToRight).isEmpty());
    }

    void TabTitlesShowABoundedStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QString const l_marked = QStringLiteral("e\u0301\u0302\u0303\u0304\u0305");
        QTest::newRow("short") << "a&b" << "a&&b";
        QTest::newRow("at the bound") << QString(20, 'x') << QString(20, 'x');
        QTest::newRow("past the bound") << QString(21, 'x') << QString(20, 'x') + ELLIPSIS;
        QTest::newRow("combining sequence kept whole")
            << QString(19, 'a') + "e\u0301zz" << QString(19, 'a') + "e\u0301" + ELLIPSIS;
        QTest::newRow("surrogate pair kept whole")
            << QString(19, 'a') + QString::fromUcs4(U"\U0001F600zz") << QString(19, 'a') + QString::fromUcs4(U"\U0001F600") + ELLIPSIS;
        QTest::newRow("marks fill the units") << l_marked.repeated(11) << l_marked.repeated(10) + ELLIPSIS;
        QTest::newRow("marks within the units") << l_marked.repeated(10) << l_marked.repeated(10);
        QTest::newRow("one endless sequence") << "a" + QString(300, QChar(0x0301)) << ELLIPSIS;
        QTest::newRow("right to left, isolated")
            << QString(25, QChar(0x05D0)) << "\u2068" + QString(20, QChar(0x05D0)) + "\u2069" + ELLIPSIS;
        QTest::newRow("cut before an override") << QString(20, 'x') + "\u202E" << QString(20, 'x') + ELLIPSIS;
    }
    void TabTitlesShowABoundedStart()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(TabTitle(name), title);
        QTabWidget l_tabs;
        QCOMPARE(AddNamedTab(&l_tabs, new QWidget, QIcon(), name, "Upload to "), 0);
        QCOMPARE(l_tabs.tabText(0), "Upload to " + title);
        QVERIFY(l_tabs.tabToolTip(0).contains(Isolated(name).toHtmlEscaped()));
    }

    // A tab bar lays every tab out again when one comes; the titles it has
    // measured are not measured again, so a new tab measures as much on a
    // bar of 60 tabs of long names as on an empty one, and nothing is
    // measured again to elide.
    void NewTabMeasuresOnlyItsOwnTitle()
    {
        TabWidget l_tabs;
        l_tabs.setTabsClosable(true);
        l_tabs.resize(600, 200);
        l_tabs.show();
        auto* lp_bar = qobject_cast<TitleBar*>(l_tabs.tabBar());
        QVERIFY(lp_bar);
        QCOMPARE(lp_bar->elideMode(), Qt::ElideNone);
        auto const l_measuredForOne = [&](int i_seed) {
            int const l_before = lp_bar->Measured();
            AddNamedTab(&l_tabs, new QWidget, QIcon(), QStringLiteral("sender %1 \u05D0\u0639").arg(i_seed).repeated(50));
            return lp_bar->Measured() - l_before;
        };
        int const l_first = l_measuredForOne(0);
        QVERIFY(l_first > 0);
        for (int l_seed = 1; l_seed < 60; ++l_seed)
            l_measuredForOne(l_seed);
        QCOMPARE(l_measuredForOne(60), l_first);
        // A font of another size measures every title again, once.
        int const l_before = lp_bar->Measured();
        QFont l_font = lp_bar->font();
        l_font.setPointSize(l_font.pointSize() + 3);
        lp_bar->setFont(l_font);
        QVERIFY(WaitUntil([&]() { return lp_bar->Measured() > l_before; }));
        QVERIFY(lp_bar->Measured() - l_before <= 2 * l_tabs.count());
    }
};

QTEST_MAIN(OutsideTextTest)
#include "OutsideTextTest.moc"
