#include "tests/ui/NoLoad.h"
#include "ui/widgets/OutsideMarkup.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/TreeWidget.h"

#include <QLabel>
#include <QLineEdit>
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
};

QTEST_MAIN(CommonWidgetsTest)
#include "CommonWidgetsTest.moc"
