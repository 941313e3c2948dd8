#include "app/TabWidget.h"
#include "app/TreeWidget.h"
#include "app/TreeWidgetItem.h"

#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QtTest>

class CommonWidgetsTest : public QObject
{
    Q_OBJECT

private:
    // A two-column tree of the rows, each with the model, sorted ascending by
    // the column: that column's texts in their new order.
    static QStringList SortedColumn(ColumnSortingModel* ip_model, QList<QStringList> const& i_rows, int i_column)
    {
        QTreeWidget l_tree;
        l_tree.setColumnCount(2);
        for (QStringList const& l_cells : i_rows) {
            TreeWidgetItem* lp_row = new TreeWidgetItem(&l_tree);
            lp_row->SetSortingModel(ip_model);
            lp_row->setText(0, l_cells.value(0));
            lp_row->setText(1, l_cells.value(1));
        }
        l_tree.sortItems(i_column, Qt::AscendingOrder);
        QStringList l_texts;
        for (int l_row = 0; l_row < l_tree.topLevelItemCount(); ++l_row)
            l_texts << l_tree.topLevelItem(l_row)->text(i_column);
        return l_texts;
    }

private slots:
    void NumericCellsReadTheirDigitsOnly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("number");
        QTest::newRow("thousands") << "1,024 KB" << qint64(1024);
        QTest::newRow("decimal point") << "1.5" << qint64(15);
        QTest::newRow("minus sign") << "-3" << qint64(3);
        QTest::newRow("no digits") << "n/a" << qint64(0);
        QTest::newRow("empty") << "" << qint64(0);
        QTest::newRow("beyond 64 bits") << "99999999999999999999" << qint64(0);
        QTest::newRow("largest") << "9223372036854775807" << qint64(9223372036854775807LL);
    }

    void NumericCellsReadTheirDigitsOnly()
    {
        QFETCH(QString, text);
        QFETCH(qint64, number);
        QCOMPARE(TreeWidgetItem::NumericValue(text), number);
    }

    void TreeSortsByTextAndByNumber()
    {
        ColumnSortingModel l_model;
        l_model.SetColumnSortingNumeric(1);
        QList<QStringList> const l_rows = {{"b", "1,024"}, {"Z", "99"}, {"a", ""}, {"c", "2 KB"}};
        // Plain code-unit order: capitals before small letters.
        QCOMPARE(SortedColumn(&l_model, l_rows, 0), QStringList({"Z", "a", "b", "c"}));
        QCOMPARE(SortedColumn(&l_model, l_rows, 1), QStringList({"", "2 KB", "99", "1,024"}));
        // Without a model every column is text: "1,024" comes before "99".
        QCOMPARE(SortedColumn(nullptr, {{"x", "99"}, {"y", "1,024"}}, 1), QStringList({"1,024", "99"}));
        l_model.SetColumnSortingReversed(1);
        QCOMPARE(SortedColumn(&l_model, {{"a", "5"}, {"b", "40"}, {"c", "300"}}, 1), QStringList({"300", "40", "5"}));

        // Asking about a column never set up adds nothing and finds text.
        ColumnSortingModel l_fresh;
        QVERIFY(!l_fresh.IsSortingNumeric(3) && !l_fresh.IsSortingReversed(3));
        QCOMPARE(l_fresh.GetColumnInfo(3).m_kind, int(ColumnSortingModel::TEXT));
        l_fresh.GetColumnInfoReference(3).m_reversed = true;
        QVERIFY(l_fresh.IsSortingReversed(3) && !l_fresh.IsSortingNumeric(3));
    }

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
        QVBoxLayout* lp_layout = new QVBoxLayout(lp_roomsPage);
        RoomTabWidget* lp_rooms = new RoomTabWidget(lp_roomsPage);
        lp_layout->addWidget(lp_rooms);
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
        QWidget* lp_a = new QWidget;
        QWidget* lp_b = new QWidget;
        l_plain.addTab(lp_a, "a");
        l_plain.addTab(lp_b, "b");
        TabWidget::MarkTabActivity(lp_b);
        QVERIFY(!l_plain.tabBar()->tabTextColor(1).isValid());
    }

    void TabChangeFocusesTheHighestVisibleRank()
    {
        QWidget l_window;
        QVBoxLayout* lp_outer = new QVBoxLayout(&l_window);
        TabWidget* lp_tabs = new TabWidget(&l_window);
        lp_outer->addWidget(lp_tabs);
        QLineEdit* lp_start = new QLineEdit;
        lp_tabs->addTab(lp_start, "start");
        QWidget* lp_page = new QWidget;
        QVBoxLayout* lp_layout = new QVBoxLayout(lp_page);
        QLineEdit* lp_low = new QLineEdit;
        QLineEdit* lp_high = new QLineEdit;
        QLineEdit* lp_hidden = new QLineEdit;
        QLineEdit* lp_zero = new QLineEdit;
        for (QLineEdit* lp_edit : {lp_low, lp_high, lp_hidden, lp_zero})
            lp_layout->addWidget(lp_edit);
        lp_tabs->addTab(lp_page, "page");
        l_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_window));
        l_window.activateWindow();
        QTRY_VERIFY(l_window.isActiveWindow());

        // Ranks stored on hidden widgets take no focus yet.
        RegisterWidgetForTabFocus(lp_low, 1);
        RegisterWidgetForTabFocus(lp_high, 2);
        RegisterWidgetForTabFocus(lp_hidden, 5);
        lp_hidden->setVisible(false);
        QCOMPARE(lp_hidden->property("get_focus").toInt(), 5);
        RegisterWidgetForTabFocus(lp_zero, 0);
        lp_start->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), lp_start);

        lp_tabs->setCurrentIndex(1);
        QTRY_COMPARE(QApplication::focusWidget(), lp_high);
        QCOMPARE(FindWidgetFocusProperty(lp_page, 0), 2);
        QCOMPARE(FindWidgetFocusProperty(lp_page, 7), 7);

        // A visible widget registered later takes focus at once.
        RegisterWidgetForTabFocus(lp_low, 1);
        QTRY_COMPARE(QApplication::focusWidget(), lp_low);
    }

    void PageLookupFindsTheNearestTabWidget()
    {
        QTabWidget l_outer;
        QWidget* lp_page = new QWidget;
        l_outer.addTab(new QWidget, "first");
        l_outer.addTab(lp_page, "second");
        TabWidget* lp_inner = new TabWidget(lp_page);
        QWidget* lp_innerPage = new QWidget;
        lp_inner->addTab(lp_innerPage, "inner");
        QLabel* lp_label = new QLabel(lp_innerPage);

        int l_index = -7;
        QCOMPARE(GetWidgetTabWidget(lp_label, l_index), static_cast<QTabWidget*>(lp_inner));
        QCOMPARE(l_index, 0);
        QCOMPARE(GetWidgetTabWidget(lp_inner, l_index), &l_outer);
        QCOMPARE(l_index, 1);

        QWidget l_loose;
        QLabel* lp_loose = new QLabel(&l_loose);
        l_index = -7;
        QCOMPARE(GetWidgetTabWidget(lp_loose, l_index), static_cast<QTabWidget*>(nullptr));
        QCOMPARE(l_index, -7);
    }
};

QTEST_MAIN(CommonWidgetsTest)
#include "CommonWidgetsTest.moc"
