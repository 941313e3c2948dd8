#include "tests/ui/NoLoad.h"
#include "ui/widgets/OutsideMarkup.h"
#include "ui/widgets/SlicedSort.h"
#include "ui/widgets/StatusBar.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/TreeWidget.h"

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTextDocument>
#include <QTextBrowser>
#include <QToolTip>
#include <QtTest>

class CommonWidgetsTest : public QObject
{
    Q_OBJECT

private slots:
    void TreeReportsEveryKeyAndKeepsItsOwnHandling()
    {
        TreeWidget l_tree;
        l_tree.setColumnCount(1);
        QTreeWidgetItem* lp_first = new QTreeWidgetItem(&l_tree, QStringList("one"));
        QTreeWidgetItem* lp_second = new QTreeWidgetItem(&l_tree, QStringList("two"));
        l_tree.setCurrentItem(lp_first);
        QList<int> l_keys;
        connect(&l_tree, &TreeWidget::KeyPressed, this, [&](QKeyEvent* ip_event) { l_keys << ip_event->key(); });

        QTest::keyClick(&l_tree, Qt::Key_Down);
        QTest::keyClick(&l_tree, Qt::Key_Delete);
        QCOMPARE(l_keys, QList<int>({Qt::Key_Down, Qt::Key_Delete}));
        QCOMPARE(l_tree.currentItem(), lp_second);
    }

    // Rooms inside the main tab row: an event on a page of a hidden room tab
    // marks only the levels whose tab is not current.
    void ActivityMarksFollowEveryHiddenLevel()
    {
        TabWidget l_main;
        QWidget* lp_transfers = new QWidget;
        QWidget* lp_roomsPage = new QWidget;
        l_main.addTab(lp_transfers, "Transfers");
        l_main.addTab(lp_roomsPage, "Rooms");
        RoomTabWidget* lp_rooms = new RoomTabWidget(lp_roomsPage);
        QWidget* lp_lobby = new QWidget;
        QWidget* lp_music = new QWidget;
        lp_rooms->addTab(lp_lobby, "lobby");
        lp_rooms->addTab(lp_music, "music");
        QLabel* lp_chatLine = new QLabel("hello", lp_music);

        QColor const l_blue(Qt::blue);
        l_main.setCurrentIndex(1);
        lp_rooms->setCurrentIndex(0);
        TabWidget::MarkTabActivity(lp_chatLine);
        QCOMPARE(lp_rooms->tabBar()->tabTextColor(1), l_blue);
        QVERIFY(l_main.tabBar()->tabTextColor(1) != l_blue);

        l_main.setCurrentIndex(0);
        TabWidget::MarkTabActivity(lp_chatLine);
        QCOMPARE(l_main.tabBar()->tabTextColor(1), l_blue);
        QCOMPARE(lp_rooms->tabBar()->tabTextColor(1), l_blue);

        // Showing the tab removes its mark; the other level keeps its own.
        lp_rooms->setCurrentIndex(1);
        QVERIFY(!lp_rooms->tabBar()->tabTextColor(1).isValid());
        QCOMPARE(l_main.tabBar()->tabTextColor(1), l_blue);
        l_main.setCurrentIndex(1);
        QVERIFY(!l_main.tabBar()->tabTextColor(1).isValid());

        // The current tab is never marked; a plain QTabWidget does not count.
        TabWidget::MarkTabActivity(lp_chatLine);
        QVERIFY(!lp_rooms->tabBar()->tabTextColor(1).isValid());
        QTabWidget l_plain;
        QWidget* lp_b = new QWidget;
        l_plain.addTab(new QWidget, "a");
        l_plain.addTab(lp_b, "b");
        TabWidget::MarkTabActivity(lp_b);
        QVERIFY(!l_plain.tabBar()->tabTextColor(1).isValid());
    }

    void TabChangeFocusesTheHighestVisibleRank()
    {
        TabWidget l_tabs;
        QLineEdit* lp_start = new QLineEdit;
        l_tabs.addTab(lp_start, "start");
        QWidget* lp_page = new QWidget;
        QLineEdit* lp_low = new QLineEdit(lp_page);
        QLineEdit* lp_high = new QLineEdit(lp_page);
        QLineEdit* lp_hidden = new QLineEdit(lp_page);
        QLineEdit* lp_zero = new QLineEdit(lp_page);
        l_tabs.addTab(lp_page, "page");
        l_tabs.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_tabs));
        l_tabs.activateWindow();
        QTRY_VERIFY(l_tabs.isActiveWindow());

        // Ranks stored on hidden widgets take no focus yet.
        RegisterWidgetForTabFocus(lp_low, 1);
        RegisterWidgetForTabFocus(lp_high, 2);
        RegisterWidgetForTabFocus(lp_hidden, 5);
        lp_hidden->setVisible(false);
        RegisterWidgetForTabFocus(lp_zero, 0);
        lp_start->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), lp_start);

        l_tabs.setCurrentIndex(1);
        QTRY_COMPARE(QApplication::focusWidget(), lp_high);
        QCOMPARE(FindWidgetFocusProperty(lp_page, 0), 2);
        QCOMPARE(FindWidgetFocusProperty(lp_page, 7), 7);

        // A visible widget registered later takes focus at once.
        RegisterWidgetForTabFocus(lp_low, 1);
        QTRY_COMPARE(QApplication::focusWidget(), lp_low);
    }

    // A sealed view loads nothing that raw markup names, from the disk, the
    // program's resources or a data address, and draws none of it; it holds
    // only what was added to its document. Its tool tips read as written.
    // A status message keeps its point whole and gives up the middle of its
    // path first; the connection label yields room to it, down to a quarter
    // of the bar; the whole text is the tool tip of what is cut.
    void StatusMessagesKeepTheirPoint_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("width"); // of the bar, as the message's width in tenths
        QTest::addColumn<QString>("shown"); // the message: "whole", "path cut" or "point cut"
        QString const l_save = "The data could not be saved, trying again in a minute: cannot write (No space left "
                               "on device): ";
        QString const l_home = "/home/alice/.Quillmar.1796682965914";
        QTest::newRow("room for all") << "song.mp3 is already downloaded, in " << "/home/alice/Quillmar Downloads"
                                      << 30 << "whole";
        QTest::newRow("path cut") << l_save << "/home/alice/" + QString(40, 'x') + "/.Quillmar.1796682965914" << 12
                                  << "path cut";
        QTest::newRow("beside a long state") << l_save << l_home << 11 << "path cut";
        QTest::newRow("point cut") << l_save << l_home << 4 << "point cut";
        QTest::newRow("no path") << l_save << QString() << 4 << "point cut";
    }

    void StatusMessagesKeepTheirPoint()
    {
        QFETCH(QString, point);
        QFETCH(QString, path);
        QFETCH(int, width);
        QMainWindow l_window;
        auto* lp_bar = new StatusBar;
        l_window.setStatusBar(lp_bar);
        auto* lp_state = new ElidedLabel;
        QString const l_state = "Connected to localhost:2242 as Zo\u00eb <b>&amp; Ann, a name some forty letters long";
        lp_state->setText(l_state);
        lp_bar->AddLabel(lp_state);
        QString const l_text = point + path;
        QFontMetrics const l_metrics = lp_bar->MessageLabel()->fontMetrics();
        int const l_textWidth = l_metrics.horizontalAdvance(l_text);
        l_window.resize(l_textWidth * width / 10, 100);
        l_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_window));
        ShowStatusMessage(lp_bar, point, path);
        QCOMPARE(lp_bar->currentMessage(), l_text);
        ElidedLabel* lp_message = lp_bar->MessageLabel();
        int const l_room = lp_message->width() + lp_state->width();
        // The state yields: all of the message fits, or the state is down to
        // a quarter of the room.
        QTRY_VERIFY(lp_message->width() >= std::min(l_textWidth, l_room * 3 / 4 - 2));

        QString const l_shown = lp_message->ShownText();
        QVERIFY2(l_metrics.horizontalAdvance(l_shown) <= lp_message->contentsRect().width(), qPrintable(l_shown));
        QString l_form = "other";
        QChar const l_mark(0x2026);
        if (l_shown == l_text)
            l_form = "whole";
        else if (!path.isEmpty() && l_shown.startsWith(point + path.front()) && l_shown.endsWith(path.back()) &&
                 l_shown.count(l_mark) == 1)
            l_form = "path cut";
        else if (l_shown.endsWith(l_mark) && point.startsWith(l_shown.chopped(1)))
            l_form = "point cut";
        QFETCH(QString, shown);
        QVERIFY2(l_form == shown, qPrintable(l_form + ": " + l_shown));
        QTextDocument l_tip;
        l_tip.setHtml(lp_message->toolTip());
        QCOMPARE(l_tip.toPlainText(), l_text);
        bool const l_stateCut = lp_state->ShownText() != l_state;
        l_tip.setHtml(lp_state->toolTip());
        QCOMPARE(l_tip.toPlainText(), l_stateCut ? l_state : QString());

        // Without a message, the state has the room again.
        lp_bar->clearMessage();
        QTRY_VERIFY(lp_state->width() >= std::min(l_metrics.horizontalAdvance(l_state), l_room - 12));
    }

    void SealedViewsLoadNothing()
    {
        BaitFolder l_baits;
        QStringList l_loaded;
        for (bool const l_browser : {false, true})
            for (QString const& l_text : l_baits.HostileTexts()) {
                std::unique_ptr<QTextEdit> lp_view(l_browser ? new QTextBrowser : new QTextEdit);
                OutsideMarkup::SealView(lp_view.get());
                lp_view->resize(200, 150);
                lp_view->setHtml(l_text);
                lp_view->show();
                QCoreApplication::processEvents();
                QStringList const l_opened = l_baits.Opened();
                if (!l_opened.isEmpty() || RedPixels(lp_view->viewport()) > 0)
                    l_loaded << l_text + " (opened: " + l_opened.join(", ") + ")";
            }
        QCOMPARE(l_loaded, QStringList());

        QTextEdit l_view;
        OutsideMarkup::SealView(&l_view);
        l_view.document()->addResource(QTextDocument::ImageResource, QUrl("held"),
                                       QImage::fromData(BaitFolder::RedPng()));
        l_view.setHtml("<img src=\"held\"><img src=\"" + l_baits.Path("abs.png") + "\">");
        l_view.resize(200, 150);
        l_view.show();
        QCoreApplication::processEvents();
        QVERIFY(RedPixels(l_view.viewport()) > 24 * 20);

        QString const l_tip = "<img src='" + l_baits.Path("tip.png") + "'> &amp; <b>x";
        l_view.setHtml("<span title=\"" + l_tip.toHtmlEscaped() + "\">hover here, hover here</span>");
        QCoreApplication::processEvents();
        QPoint const l_at = l_view.cursorRect(QTextCursor(l_view.document())).center() + QPoint(20, 0);
        QHelpEvent l_hover(QEvent::ToolTip, l_at, l_view.viewport()->mapToGlobal(l_at));
        QCoreApplication::sendEvent(l_view.viewport(), &l_hover);
        QTRY_VERIFY(QToolTip::isVisible());
        QTextDocument l_shown;
        l_shown.setHtml(QToolTip::text());
        QCOMPARE(l_shown.toPlainText(), l_tip);
        QCOMPARE(l_baits.Opened(), QStringList());
        QToolTip::hideText();
    }

    // Outside markup keeps at most 512 tags, opening, closing and empty
    // alike (the layout's cost grows with each element); the tags after
    // them are shown as text, and what the kept ones left open is closed.
    // (Spaces keep the words short of a place to break.)
    void OutsideMarkupKeepsItsTagsBound_data()
    {
        QTest::addColumn<QString>("markup");
        QTest::addColumn<QString>("html");
        QTest::newRow("pairs") << QString("<b>x</b> ").repeated(300)
                               << QString("<b>x</b> ").repeated(256) + QString("&lt;b>x&lt;/b> ").repeated(44);
        QTest::newRow("line breaks") << QString("<br> ").repeated(600)
                                     << QString("<br> ").repeated(512) + QString("&lt;br> ").repeated(88);
        QTest::newRow("open at the bound") << QString("<b>x</b> ").repeated(255) + "<i>y <u>z</u> </i> <b>w</b>"
                                           << QString("<b>x</b> ").repeated(255) +
                                                  "<i>y <u>z&lt;/u> &lt;/i> &lt;b>w&lt;/b></u></i>";
    }
    void OutsideMarkupKeepsItsTagsBound()
    {
        QFETCH(QString, markup);
        QFETCH(QString, html);
        QCOMPARE(OutsideMarkup::SafeHtml(markup), html);
    }
};

namespace {

// Letters sorted by their case-blind order, each with its place in the
// input, so that ties show whether they kept it.
typedef std::vector<std::pair<char, int>> Letters;

Letters MakeLetters(QByteArray const& i_text)
{
    Letters l_letters;
    for (int l_at = 0; l_at < i_text.size(); ++l_at)
        l_letters.emplace_back(i_text[l_at], l_at);
    return l_letters;
}

QByteArray LetterText(Letters const& i_letters)
{
    QByteArray l_text;
    for (auto const& l_letter : i_letters)
        l_text += l_letter.first;
    return l_text;
}

} // namespace

class SlicedSortTest : public QObject
{
    Q_OBJECT

private slots:
    // In order, ties in the order they came, never more than the step's
    // moves a step, and a step for each run of that many moves a pass.
    void SortsStablyAFewMovesAStep_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("moves");
        QTest::addColumn<QByteArray>("sorted");
        QTest::addColumn<int>("steps");
        QTest::newRow("empty") << QByteArray() << 4 << QByteArray() << 1;
        QTest::newRow("one") << QByteArray("q") << 4 << QByteArray("q") << 1;
        QTest::newRow("ties keep their order") << QByteArray("bBaAb") << 2 << QByteArray("aAbBb") << 8;
        QTest::newRow("reversed, odd length") << QByteArray("gfedcba") << 3 << QByteArray("abcdefg") << 8;
        QTest::newRow("sorted already") << QByteArray("abcdefgh") << 8 << QByteArray("abcdefgh") << 4;
        QTest::newRow("one move a step") << QByteArray("dcAb") << 1 << QByteArray("Abcd") << 9;
    }
    void SortsStablyAFewMovesAStep()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, moves);
        SlicedSort<std::pair<char, int>> l_sort;
        l_sort.Start(MakeLetters(input), [](std::pair<char, int> const& i_a, std::pair<char, int> const& i_b) {
            return QChar::toLower(ushort(i_a.first)) < QChar::toLower(ushort(i_b.first));
        });
        int l_steps = 1;
        while (l_sort.Step(std::size_t(moves)))
            ++l_steps;
        QVERIFY(l_sort.LongestStep() <= std::size_t(moves));
        QTEST(l_steps, "steps");
        QTEST(LetterText(l_sort.Take()), "sorted");
    }
};

namespace {

int RunAll(int argc, char** argv)
{
    CommonWidgetsTest l_widgets;
    SlicedSortTest l_sort;
    return QTest::qExec(&l_widgets, argc, argv) | QTest::qExec(&l_sort, argc, argv);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication l_application(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    return RunAll(argc, argv);
}
#include "CommonWidgetsTest.moc"
