// The transfers page: its rows and groups, what they show, and what the
// user's commands, its context menus (with the paths they may open) and the
// page's own clean-ups do to the queues; the completed-downloads tab. Run
// under the C locale and again under de_DE, whose day and month names the
// stored completion times then carry.

#include "TransfersPageFixture.h"
#include "../MenuTexts.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/DownloadMenuOptions.h"
#include "ui/transfers/UploadMenuOptions.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QPaintEngine>
#include <QPainter>
#include <QProgressBar>
#include <QScopeGuard>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTextDocument>

using namespace TransferRows;

namespace {

// A paint device that keeps the texts painted on it as they are painted:
// each text item's characters and extent, in the font the painter holds at
// that moment, whatever the widget, the style option or anything before
// gave (a style may set a font of its own for a label). It has a widget's
// size and resolution, so that a font of so many points has as many pixels
// as on the widget's screen; nothing else painted is kept.
class PaintedTexts : public QPaintDevice, public QPaintEngine
{
public:
    explicit PaintedTexts(QWidget const* ip_like)
        : QPaintEngine(AllFeatures), m_size(ip_like->size()), m_dpi(ip_like->logicalDpiY())
    {
    }
    QPaintEngine* paintEngine() const override { return const_cast<PaintedTexts*>(this); }
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(QPaintEngineState const&) override {}
    void drawPixmap(QRectF const&, QPixmap const&, QRectF const&) override {}
    void drawPolygon(QPointF const*, int, PolygonDrawMode) override {}
    void drawPath(QPainterPath const&) override {}
    Type type() const override { return User; }
    void drawTextItem(QPointF const& i_at, QTextItem const& i_item) override
    {
        QRectF const l_extent(i_at.x(), i_at.y() - i_item.ascent(), i_item.width(), i_item.ascent() + i_item.descent());
        m_texts << qMakePair(i_item.text(), state->transform().mapRect(l_extent));
    }

    QList<QPair<QString, QRectF>> m_texts;

protected:
    int metric(PaintDeviceMetric i_metric) const override
    {
        switch (i_metric) {
        case PdmWidth: return m_size.width();
        case PdmHeight: return m_size.height();
        case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return m_dpi;
        case PdmDepth: return 32;
        case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        default: return 1;
        }
    }

private:
    QSize m_size;
    int m_dpi;
};

} // namespace

class TransfersPageTest : public QObject, public PageFixture
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_opened << i_url.toLocalFile(); }

private:
    QStringList m_opened;
    std::unique_ptr<SearchForm> mp_search;
    qint64 m_defaultSliceMs = 0;

    static QStringList Texts(QMenu const& i_menu) { return MenuTexts(i_menu); }

    // "user|folder|status", then "|alert" for a file alert or "|search text".
    Item Entry(QString const& i_spec)
    {
        QStringList const l_parts = i_spec.split('|');
        QString const l_name = QString("%1-%2.mp3").arg(l_parts[2]).arg(d["download_entry"]->GetItemCount());
        Item const l_entry = Download(qPrintable(l_parts[0]), qPrintable(l_parts[1]), qPrintable(l_name), 1000,
                                      qPrintable(l_parts[2]));
        if (l_parts.value(3) == "alert")
            d["complete_download_alert"]->NewItem() += l_entry;
        else if (l_parts.size() > 3)
            l_entry += d["search_request_text"]->GetItem(Value(l_parts[3]));
        return l_entry;
    }

    // Clicks the entry of that text in the menu the options fill.
    template <class Options>
    void Choose(ItemSet const& i_entries, QString const& i_text)
    {
        QMenu l_menu;
        Options l_options(&l_menu, i_entries);
        QList<QAction*> l_actions = l_menu.actions();
        for (QAction* lp_action : l_menu.actions())
            if (lp_action->menu())
                l_actions << lp_action->menu()->actions();
        for (QAction* lp_action : l_actions)
            if (lp_action->text() == i_text)
                return lp_action->trigger();
        QFAIL(qPrintable("no entry " + i_text));
    }

    // What the row's bar shows: its widget's, or the painted bar of a
    // finished transfer.
    QString Bar(QTreeWidgetItem* ip_row, QTreeWidget* ip_tree = nullptr)
    {
        auto* lp_bar = qobject_cast<QProgressBar*>((ip_tree ? ip_tree : Downloads())->itemWidget(ip_row, 4));
        if (lp_bar)
            return lp_bar->format() + QString(" =%1").arg(lp_bar->value());
        QVariant const l_value = ip_row->data(4, FINISHED_BAR_VALUE_ROLE);
        return l_value.isValid() ? ip_row->data(4, FINISHED_BAR_TEXT_ROLE).toString() + " =" + l_value.toString()
                                 : QString("none");
    }

    // Whether the row's Progress cell shows something drawn: a blank cell
    // is of one colour, a bar of many.
    static bool ProgressCellDrawn(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row)
    {
        // Shown: a hidden tree's viewport takes its size only later.
        ip_tree->window()->resize(1000, 400);
        ip_tree->window()->show();
        if (!QTest::qWaitForWindowExposed(ip_tree->window()))
            return false;
        ip_tree->scrollToItem(ip_row);
        QCoreApplication::processEvents(); // the view lays its rows out later
        QRect l_cell = ip_tree->visualItemRect(ip_row);
        l_cell.setLeft(ip_tree->header()->sectionViewportPosition(4));
        l_cell.setWidth(ip_tree->header()->sectionSize(4));
        QImage const l_image = ip_tree->viewport()->grab(l_cell).toImage();
        QSet<QRgb> l_colours;
        for (int l_y = 0; l_y < l_image.height(); ++l_y)
            for (int l_x = 0; l_x < l_image.width(); ++l_x)
                l_colours.insert(l_image.pixel(l_x, l_y));
        return l_colours.size() > 3;
    }

    // What each row's bar shows as painted, and where: the texts painted on
    // the row's line over the Progress column, from left to right, one
    // painted twice (over the filled part, over the rest) taken once;
    // against the bar's rectangle (a widget's, or that of a bar painted at
    // the top of the cell).
    struct PaintedBar
    {
        QString m_whole; // what the page gave the bar to show
        QRectF m_bar;
        QString m_text;
        QRectF m_extent;
    };

    static QList<PaintedBar> PaintedBars(QTreeWidget* ip_tree)
    {
        PaintedTexts l_painted(ip_tree->viewport());
        ip_tree->viewport()->render(&l_painted, QPoint(), QRegion(), QWidget::DrawChildren);
        std::stable_sort(l_painted.m_texts.begin(), l_painted.m_texts.end(),
                         [](auto const& i_a, auto const& i_b) { return i_a.second.left() < i_b.second.left(); });
        int const l_left = ip_tree->header()->sectionViewportPosition(4);
        int const l_right = l_left + ip_tree->header()->sectionSize(4);
        QList<PaintedBar> l_bars;
        for (QTreeWidgetItemIterator l_it(ip_tree); *l_it; ++l_it) {
            QRect const l_line = ip_tree->visualItemRect(*l_it);
            PaintedBar l_bar;
            if (auto* lp_widget = qobject_cast<QProgressBar*>(ip_tree->itemWidget(*l_it, 4)))
                l_bar = {lp_widget->format(), lp_widget->geometry(), {}, {}};
            else if ((*l_it)->data(4, FINISHED_BAR_VALUE_ROLE).isValid())
                l_bar = {(*l_it)->data(4, FINISHED_BAR_TEXT_ROLE).toString(),
                         QRect(l_left, l_line.top(), l_right - l_left, std::min(BAR_HEIGHT, l_line.height())), {}, {}};
            else
                continue;
            QRectF l_last;
            for (auto const& [l_text, l_extent] : l_painted.m_texts) {
                qreal const l_middle = l_extent.center().y();
                if (l_middle > l_line.top() && l_middle < l_line.top() + l_line.height() && l_extent.right() > l_left &&
                    l_extent.left() < l_right && l_extent != std::exchange(l_last, l_extent)) {
                    l_bar.m_text += QString(l_text).replace(QChar(QChar::Nbsp), ' ');
                    l_bar.m_extent |= l_extent;
                }
            }
            l_bars << l_bar;
        }
        return l_bars;
    }

private slots:
    // The file paths the page opens are recorded (the handler goes with this object).
    // Every job runs at once: a slice cut short by a busy machine would
    // leave a group row for a later turn than the one a check looks in.
    // Tests of the slices themselves set their own.
    void initTestCase()
    {
        QDesktopServices::setUrlHandler("file", this, "OnUrlOpened");
        m_defaultSliceMs = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(-1);
    }

    void cleanupTestCase() { SlicedWork::SetSliceMs(m_defaultSliceMs); }

    // The page with its saved queue loaded, and the search page, where
    // searches run again open their tabs.
    void init()
    {
        StartPage();
        mp_search = std::make_unique<SearchForm>();
        mp_search->Init();
        LoadPage();
        m_opened.clear();
    }

    void cleanup()
    {
        mp_search.reset();
        StopPage();
    }

    void RowsAndGroups()
    {
        cleanup(); // from before the saved queue is loaded
        StartPage();
        Item const l_first = Download("alice", "music\\albums\\live", "b.mp3", 2500000);
        QVERIFY(Dump(Downloads()).isEmpty()); // no download rows before the queue is loaded
        Download("alice", "music\\albums\\live", "a.mp3");
        LoadPage();
        Download("alice", "other", "c.mp3");
        Download("bob", "music\\albums\\live", "d.mp3");
        Upload("carol", "/srv/share/pics", "x.png", 1234567);
        Settle();
        QCOMPARE(Dump(Downloads()), QStringList({"alice", "  live/albums/music", "    b.mp3|queued|2,500,000",
                                                 "    a.mp3|queued|1,000", "  other", "    c.mp3|queued|1,000", "bob",
                                                 "  live/albums/music", "    d.mp3|queued|1,000"}));
        QCOMPARE(Dump(Uploads()), QStringList({"carol", "  pics/share/srv", "    x.png|queued|1,234,567"}));
        QVERIFY(Downloads()->topLevelItem(0)->isExpanded() && Downloads()->topLevelItem(0)->child(0)->isExpanded());
        QCOMPARE(mp_tabs->tabText(0), QString("Transfers [0/0]"));

        // A replaced link fires the path again: the row is made anew, once.
        l_first += d["file_size"]->GetItem(Value(3000));
        QCOMPARE(Dump(Downloads()).mid(1, 3), QStringList({"  live/albums/music", "    a.mp3|queued|1,000",
                                                          "    b.mp3|queued|3,000"}));
        QCOMPARE(Downloads()->topLevelItem(0)->child(0)->childCount(), 2);

        mp_transfers->SetDownloadEntryStatus(l_first, "downloading");
        Upload("carol", "/srv/share/pics", "y.png", 1000, "uploading");
        Item const l_up2 = Upload("dave", "/srv/share", "z.png", 1000, "uploading");
        QCOMPARE(mp_tabs->tabText(0), QString("Transfers [1/2]"));

        // Removals take emptied folders and users with them; a user left
        // with one folder loses its group figures.
        Report(l_first, 100, 10);
        QVERIFY(Bar(Downloads()->topLevelItem(0)) != "none");
        mp_transfers->RemoveDownload(l_first);
        for (Item const& l_entry : d["file_name"]->GetItem(Value("a.mp3")).GetItems("download_entry"))
            mp_transfers->RemoveDownload(l_entry);
        QCOMPARE(Dump(Downloads(), {0, 1, 2}), QStringList({"alice", "  other", "    c.mp3", "bob",
                                                          "  live/albums/music", "    d.mp3"}));
        QCOMPARE(Bar(Downloads()->topLevelItem(0)), QString("none"));
        QCOMPARE(Downloads()->topLevelItem(0)->text(5), QString());
        mp_transfers->RemoveUpload(l_up2);
        QCOMPARE(Dump(Uploads(), {0, 2}), QStringList({"carol", "  ", "    x.png", "    y.png"}));
        QCOMPARE(d["download_list_node"]->GetItemCount() + d["upload_list_user_node"]->GetItemCount(), 2u + 1u);
        Settle();
        QCOMPARE(mp_tabs->tabText(0), QString("Transfers [0/1]"));
    }

    // The loaded queue's rows are made a few at a time, in the queue's
    // order, with the event loop turning between: a download added
    // meanwhile comes after them, one removed meanwhile gets no row.
    void LoadedQueueShownInSlices()
    {
        cleanup(); // from before the saved queue is loaded
        StartPage();
        std::vector<Item> l_loaded;
        for (char const* lp_file : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3", "6.mp3"})
            l_loaded.push_back(Download("alice", "f", lp_file));
        // The queue's order runs against the order they were made in.
        for (std::size_t l_k = 0; l_k < l_loaded.size(); ++l_k)
            l_loaded[l_k] += d["download_order"]->GetItem(Value(qint64(100 - l_k)));
        SetSetting("transfer_order_counter", qint64(101));
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0);
        mp_page->DataLoaded();
        mp_transfers->DataLoaded();
        int l_turns = 0;
        // The engine takes its queue in first, in slices of its own.
        for (int l_wait = 0; mp_transfers->IsLoadingQueue() && l_wait < 1000; ++l_wait) {
            QCOMPARE(int(d["download_list_node"]->GetItemCount()), 0);
            QCoreApplication::processEvents();
        }
        // The page reads the entries' order a step each before its first row.
        QCOMPARE(int(d["download_list_node"]->GetItemCount()), 0);
        Download("alice", "f", "new.mp3");
        mp_transfers->RemoveDownload(l_loaded[4]);
        while (d["download_list_node"]->GetItemCount() < 6 && l_turns < 1000) {
            QCoreApplication::processEvents();
            ++l_turns;
        }
        SlicedWork::SetSliceMs(l_slice);
        Settle();
        QVERIFY2(l_turns >= 10, qPrintable(QString("%1 turns").arg(l_turns)));
        QCOMPARE(Dump(Downloads(), {0, 1, 2}), QStringList({"alice", "  f", "    6.mp3", "    4.mp3", "    3.mp3",
                                                          "    2.mp3", "    1.mp3", "    new.mp3"}));
    }

    void StatusTextsAndColours_data()
    {
        QTest::addColumn<QString>("statuses"); // the entries of one folder
        QTest::addColumn<QString>("shown");    // text and colour of the first entry's row | of the collapsed folder
        QTest::newRow("downloading") << "downloading,complete" << "downloading #0000ff|downloading #0000ff";
        QTest::newRow("queued") << "queued,complete" << "queued #3366ff|queued #3366ff";
        QTest::newRow("complete") << "complete,complete" << "complete #006400|complete #006400";
        QTest::newRow("paused") << "paused,paused" << "paused #f08d29|paused #f08d29";
        QTest::newRow("complete, paused") << "complete,paused" << "complete #006400| #000000";
        QTest::newRow("denied") << "denied,aborted" << "file not shared. #ff0a47|denied #ff0a47";
        QTest::newRow("aborted") << "aborted,paused" << "aborted #ff0a47|aborted #ff0a47";
        QTest::newRow("local error") << "local error" << "local error #ff0a47|local error #ff0a47";
        QTest::newRow("complete, local error") << "complete,local error" << "complete #006400|local error #ff0a47";
    }

    void StatusTextsAndColours()
    {
        QFETCH(QString, statuses);
        mp_page->OnActionBarTriggered(nullptr, "expand_download_folders"); // folders collapse
        Item l_first;
        for (QString const& l_status : statuses.split(',')) {
            Item const l_entry = Download("alice", "f", qPrintable(l_status + QString::number(d.ItemCount())));
            l_entry += d["denial_reason"]->GetItem(Value("File not shared."));
            mp_transfers->SetDownloadEntryStatus(l_entry, l_status);
            l_first = l_first.IsValid() ? l_first : l_entry;
        }
        Settle();
        QTreeWidgetItem* lp_folder = Row(l_first)->parent();
        QTEST(Row(l_first)->text(3) + " " + Row(l_first)->foreground(5).color().name() + "|" + lp_folder->text(3) + " " +
                  lp_folder->foreground(0).color().name(),
              "shown");
    }

    void AggregateRulesOfUploads()
    {
        // "statuses=group": uploads have no rule for paused.
        for (QString const& l_case : QStringList({"uploading,queued=uploading", "queued,complete=queued",
                                                  "paused,paused=", "denied,aborted=denied", "aborted,complete=aborted",
                                                  "local error,complete=local error",
                                                  "requesting,complete=", "=complete"})) {
            ItemSet l_entries;
            for (QString const& l_status : l_case.section('=', 0, 0).split(',', Qt::SkipEmptyParts)) {
                Item const l_entry = d["upload_entry"]->NewItem();
                l_entry += d["upload_entry_status"]->GetItem(Value(l_status));
                l_entries.insert(l_entry);
            }
            QCOMPARE(mp_page->GetUploadEntriesAggregateStatus(l_entries), l_case.section('=', 1));
        }
    }

    void OnlineIconsAndColourTable()
    {
        Item const l_entry = Download("carol", "f", "a.mp3");
        Upload("carol", "/s", "b.png");
        for (bool l_online : {false, true, false}) {
            SetFlag(l_entry["user"], "is_online", l_online);
            QImage const l_icon = QIcon(l_online ? ":/icons/online_icon" : ":/icons/offline_icon").pixmap(16).toImage();
            QCOMPARE(Downloads()->topLevelItem(0)->icon(0).pixmap(16).toImage(), l_icon);
            QCOMPARE(Uploads()->topLevelItem(0)->icon(0).pixmap(16).toImage(), l_icon);
        }

        // The colour table, once the main window has one, rules the rows.
        d.NewType("color_setting", ROOT, false, true)->RelateToType(d.NewType("color_setting_value", ROOT, false, true),
                                                                   MANY, ONE, false);
        d["color_setting"]->GetItem(Value("transfer_queued")) += d["color_setting_value"]->GetItem(Value("#123456"));
        mp_page->RecolorEntries();
        QCOMPARE(Row(l_entry)->foreground(2).color().name(), QString("#123456"));
        QCOMPARE(Row(l_entry)->parent()->parent()->foreground(0).color().name(), QString("#123456"));
    }

    // Edges the rows' own texts do not reach: bounds, long times, values out of range.
    void Formats()
    {
        struct Case { long long m_seconds; char const* mp_text; };
        for (Case const& l_case : std::initializer_list<Case>{
                 {59, "   59s"}, {60, "   1m:0s"}, {3599, "   59m:59s"}, {3600, "   1h:0m:0s"},
                 {90061, "   25h:1m:1s"}, {-5, "   0s"}})
            QCOMPARE(TimeLeftText(l_case.m_seconds), QString(l_case.mp_text));
        QCOMPARE(Percent(900, 600, false), 100.0);
        QCOMPARE(Percent(-1, 600, false), 0.0);
        QCOMPARE(SpeedText(1536), QString("1.5"));
    }

    void ProgressAndGroupStatistics()
    {
        Download("alice", "f", "done.mp3", 1000, "complete");
        Item const l_running = Download("alice", "f", "big.iso", 8388608, "downloading");
        Report(l_running, 1048576, 1024);
        QTreeWidgetItem* lp_file = Row(l_running);
        QTreeWidgetItem* lp_folder = lp_file->parent();
        QTreeWidgetItem* lp_user = lp_folder->parent();
        QCOMPARE(lp_file->text(5), QString("   1h:59m:28s"));
        QCOMPARE(Bar(lp_file), QString("1,048,576 (12.5%) =12"));
        // A narrow column keeps the percentage, and shows no cut number.
        auto* lp_bar = qobject_cast<QProgressBar*>(Downloads()->itemWidget(lp_file, 4));
        lp_bar->resize(QFontMetrics(BarFont(lp_bar->font())).horizontalAdvance("1,048 (12.5%)") + 12, 14);
        QCOMPARE(lp_bar->text(), QString("12.5%"));
        QCOMPARE(lp_file->text(6), QString("1.0")); // the deepest row that shows
        QCOMPARE(Bar(lp_folder), QString("1,049,576 (12.5%) =12"));
        QCOMPARE(Bar(lp_user), QString("none")); // expanded over its only folder

        Download("alice", "g", "small.mp3", 1000);
        lp_folder->setExpanded(false);
        Report(l_running, 4194304, 0);
        QCOMPARE(lp_folder->text(6), QString("0.0"));
        QCOMPARE(lp_folder->text(5), QString()); // no time left without a speed: "0s" said it was ending
        QCOMPARE(Bar(lp_user), QString("4,195,304 (50.0%) =50"));
        lp_user->setExpanded(false);
        lp_user->setExpanded(true); // expanding drops a group's figures
        QCOMPARE(Bar(lp_user) + lp_user->text(3) + lp_user->text(5), QString("none"));

        // A finished transfer's bar shows the whole file, an empty one too.
        mp_transfers->SetDownloadEntryStatus(l_running, "complete");
        QCOMPARE(Bar(lp_file), QString("8,388,608 (100.0%) =100"));
        Item const l_empty = Download("alice", "g", "empty.txt", 0, "downloading");
        Report(l_empty, 0, 0);
        QCOMPARE(Bar(Row(l_empty)), QString(" (0.0%) =0"));
        mp_transfers->SetDownloadEntryStatus(l_empty, "complete");
        QCOMPARE(Bar(Row(l_empty)), QString(" (100.0%) =100"));

        // Sizes no group can add up: the total stops at the largest number.
        for (char const* lp_name : {"huge1", "huge2"})
            Download("alice", "g", lp_name, 0x7000000000000000, "downloading");
        Report(l_empty, 0, 0);
        QCOMPARE(Bar(lp_user), QString("8,389,608 (0.0%) =0"));

        // A transfer that stops shows no speed or time left, nor does a
        // group in which nothing moves any more.
        Item const l_paused = Download("bob", "h", "p.mp3", 1000, "downloading");
        Report(l_paused, 500, 100);
        QTreeWidgetItem* lp_pausedFolder = Row(l_paused)->parent();
        QCOMPARE(Row(l_paused)->text(5) + "|" + Row(l_paused)->text(6), QString("   5s|0.1"));
        lp_pausedFolder->setExpanded(false);
        Report(l_paused, 500, 100);
        mp_transfers->PauseDownload(l_paused);
        Settle();
        QCOMPARE(Row(l_paused)->text(5) + Row(l_paused)->text(6) + lp_pausedFolder->text(5) + lp_pausedFolder->text(6),
                 QString());

        // One that breaks off keeps its bar, and its folder counts the bytes
        // the bar shows, not none of them.
        Item const l_broken = Download("dave", "k", "b.bin", 1000, "downloading");
        Download("dave", "k", "c.bin", 1000);
        QTreeWidgetItem* lp_brokenFolder = Row(l_broken)->parent();
        lp_brokenFolder->setExpanded(false);
        Report(l_broken, 600, 100);
        mp_transfers->SetDownloadEntryStatus(l_broken, "aborted");
        for (char const* lp_cell : {"write_position", "bytes_per_second"})
            l_broken[lp_cell].Remove();
        Settle();
        QCOMPARE(Bar(Row(l_broken)) + " | " + Bar(lp_brokenFolder), QString("600 (60.0%) =60 | 600 (30.0%) =30"));

        Item const l_upload = Upload("carol", "/srv", "u.bin", 2048, "uploading");
        Report(l_upload, 1024, 512);
        QCOMPARE(Bar(Row(l_upload), Uploads()), QString("1,024 (50.0%) =50"));
        QCOMPARE(Row(l_upload)->text(5), QString("   2s"));

        // Between reports a group follows its entries: a transfer that goes
        // takes its bytes and its time left with it, and its bar when no
        // other row below shows one.
        QTreeWidgetItem* lp_uploads = Row(Upload("carol", "/srv", "v.bin", 2048))->parent();
        mp_transfers->RemoveUpload(l_upload);
        Settle();
        QCOMPARE(Bar(lp_uploads, Uploads()) + lp_uploads->text(5), QString("none"));
    }

    // A finished transfer shows its whole file however it finished: in this
    // run after reports, without any (an empty file), or before a restart,
    // its row made from the saved queue.
    void FinishedRowsShowTheWholeFile()
    {
        Item const l_inRun = Download("alice", "f", "a.mp3", 1000, "downloading");
        Report(l_inRun, 1000, 100);
        mp_transfers->SetDownloadEntryStatus(l_inRun, "complete");
        Item const l_upload = Upload("carol", "/srv", "u.bin", 2048, "uploading");
        mp_transfers->SetUploadEntryStatus(l_upload, "complete");
        QCOMPARE(Bar(Row(l_inRun)) + " | " + Bar(Row(l_upload), Uploads()),
                 QString("1,000 (100.0%) =100 | 2,048 (100.0%) =100"));

        cleanup();
        StartPage();
        Download("alice", "f", "a.mp3", 1000, "complete");
        Download("alice", "f", "empty.txt", 0, "complete");
        Download("alice", "f", "b.mp3", 1000, "queued");
        LoadPage();
        QStringList l_bars;
        for (char const* lp_name : {"a.mp3", "empty.txt", "b.mp3"}) {
            QTreeWidgetItem* lp_row = Row(*d["file_name"]->GetItem(Value(lp_name)).GetItems("download_entry").begin());
            l_bars << Bar(lp_row) + (ProgressCellDrawn(Downloads(), lp_row) ? " drawn" : "");
        }
        QCOMPARE(l_bars, QStringList({"1,000 (100.0%) =100 drawn", " (100.0%) =100 drawn", "none"}));
    }

    // A queue looks the same after a restart as before it: every row its
    // bar, the rows as far apart. Before, the transfers ran in this run;
    // after, the same entries come from the saved queue.
    void BarsAfterARestart_data()
    {
        QTest::addColumn<QStringList>("entries"); // user|folder|file|size|status; "complete" ones ran to their end
        QTest::addColumn<QStringList>("bars");    // every row's, depth first
        QString const l_whole = "%1 (100.0%) =100";
        QTest::newRow("two folders") << QStringList{"alice|f|a|1000|complete", "alice|g|b|3000|complete"}
                                     << QStringList{l_whole.arg("4,000"), l_whole.arg("1,000"), l_whole.arg("1,000"),
                                                    l_whole.arg("3,000"), l_whole.arg("3,000")};
        // An expanded user row over one folder would only repeat it.
        QTest::newRow("one folder") << QStringList{"bob|f|a|1000|complete", "bob|f|b|2000|complete"}
                                    << QStringList{"none", l_whole.arg("3,000"), l_whole.arg("1,000"),
                                                   l_whole.arg("2,000")};
        QTest::newRow("beside a queued one")
            << QStringList{"carol|f|a|1000|complete", "carol|f|b|1000|queued", "carol|g|c|500|complete"}
            << QStringList{"1,500 (60.0%) =60", "1,000 (50.0%) =50", l_whole.arg("1,000"), "none", l_whole.arg("500"),
                           l_whole.arg("500")};
    }

    void BarsAfterARestart()
    {
        QFETCH(QStringList, entries);
        QStringList l_seen[2];
        int l_spacing[2] = {};
        for (int l_run = 0; l_run < 2; ++l_run) {
            cleanup();
            StartPage();
            if (l_run == 1) {
                for (QString const& l_spec : entries) {
                    QStringList const l_parts = l_spec.split('|');
                    Download(qPrintable(l_parts[0]), qPrintable(l_parts[1]), qPrintable(l_parts[2]),
                             l_parts[3].toLongLong(), qPrintable(l_parts[4]));
                }
            }
            LoadPage();
            for (QString const& l_spec : entries) {
                QStringList const l_parts = l_spec.split('|');
                if (l_run == 1)
                    break;
                Item const l_entry = Download(qPrintable(l_parts[0]), qPrintable(l_parts[1]), qPrintable(l_parts[2]),
                                              l_parts[3].toLongLong(), l_parts[4] == "queued" ? "queued" : "downloading");
                if (l_parts[4] == "complete") {
                    Report(l_entry, l_parts[3].toLongLong(), 100);
                    mp_transfers->SetDownloadEntryStatus(l_entry, "complete");
                }
            }
            Settle();
            for (QTreeWidgetItemIterator l_it(Downloads()); *l_it; ++l_it)
                l_seen[l_run] << Bar(*l_it);
            Downloads()->resize(1000, 400);
            QTreeWidgetItem* lp_first = Downloads()->topLevelItem(0);
            l_spacing[l_run] = Downloads()->visualItemRect(Downloads()->itemBelow(lp_first)).top() -
                               Downloads()->visualItemRect(lp_first).top();
        }
        QTEST(l_seen[0], "bars");
        QTEST(l_seen[1], "bars");
        QCOMPARE(l_spacing[1], l_spacing[0]);
    }

    // A bar's text is whole or not there: the bytes, the bytes in a larger
    // unit, the percentage alone, the first that fits.
    void FittingBarTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("fits");  // the text whose width the bar gives, "-1" a pixel less
        QTest::addColumn<QString>("shown"); // "_" for a blank that does not break
        QTest::newRow("wide") << "62,914,560 (100.0%)" << "62,914,560_(100.0%)" << "62,914,560_(100.0%)";
        QTest::newRow("a pixel short") << "62,914,560 (100.0%)" << "62,914,560_(100.0%)-1" << "60.0_MiB_(100.0%)";
        QTest::newRow("mebibytes") << "10,625,024 (16.9%)" << "10.1_MiB_(16.9%)" << "10.1_MiB_(16.9%)";
        QTest::newRow("gibibytes") << "5,368,709,120 (50.0%)" << "5.0_GiB_(50.0%)" << "5.0_GiB_(50.0%)";
        QTest::newRow("percentage") << "62,914,560 (100.0%)" << "100.0%" << "100.0%";
        QTest::newRow("nothing fits") << "62,914,560 (100.0%)" << "100.0%-1" << "";
        QTest::newRow("nothing done") << " (0.0%)" << "62,914,560_(100.0%)" << "0.0%";
    }

    void FittingBarTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, fits);
        QFontMetrics const l_metrics(BarFont(Downloads()->font()));
        QString const l_nbsp(QChar(QChar::Nbsp));
        int const l_width = l_metrics.horizontalAdvance(fits.section('-', 0, 0).replace('_', l_nbsp)) -
                            (fits.endsWith("-1") ? 1 : 0);
        QTEST(FittingBarText(text, l_width, l_metrics).replace(l_nbsp, "_"), "shown");
    }

    // What a bar shows, as painted, with the client's style and with
    // another, at the column's width and narrower and wider, in the tree's
    // font and in smaller and larger ones: the whole figure, or a shorter
    // form that is still true, or the percentage alone, or nothing; never a
    // number cut at either end, nor lines cut at the top or bottom. A style
    // may paint a label in a font of its own, and one platform's fonts are
    // not another's: the test runs offscreen and on X (CMakeLists.txt).
    void BarTextsAsPainted_data()
    {
        QTest::addColumn<QString>("style");
        QTest::addColumn<int>("width");     // of the Progress column
        QTest::addColumn<int>("pixels");    // of the tree's font; 0: the application's
        QTest::addColumn<QString>("least"); // what every bar shows at least: "whole", "some" or ""
        for (char const* lp_style : {"Plastique", "Fusion"}) {
            QTest::addRow("%s, 140 px", lp_style) << lp_style << 140 << 0 << "some";
            QTest::addRow("%s, 320 px", lp_style) << lp_style << 320 << 0 << "whole";
            for (int l_width : {40, 70, 100, 180})
                QTest::addRow("%s, %d px", lp_style, l_width) << lp_style << l_width << 0 << "";
            for (int l_pixels : {9, 13, 16, 24})
                QTest::addRow("%s, 100 px, %d px font", lp_style, l_pixels) << lp_style << 100 << l_pixels << "";
        }
    }

    void BarTextsAsPainted()
    {
        QFETCH(QString, style);
        QFETCH(int, width);
        QFETCH(int, pixels);
        QFETCH(QString, least);
        // Each bar's whole text, then its shorter forms.
        QMap<QString, QStringList> const l_forms = {
            {"62,914,560 (100.0%)", {"60.0 MiB (100.0%)", "100.0%"}},
            {"39,569,495 (62.9%)", {"37.7 MiB (62.9%)", "62.9%"}},
            {"12,582,912 (20.0%)", {"12.0 MiB (20.0%)", "20.0%"}},
            {"47,009,468 (74.7%)", {"44.8 MiB (74.7%)", "74.7%"}},
            {"41,918,464 (66.6%)", {"40.0 MiB (66.6%)", "66.6%"}},
            {"26,345,472 (41.9%)", {"25.1 MiB (41.9%)", "41.9%"}},
            {"2,684,354,560 (50.0%)", {"2.5 GiB (50.0%)", "50.0%"}},
            {"20,000,000 (100.0%)", {"19.1 MiB (100.0%)", "100.0%"}},
            {"12,000,000 (100.0%)", {"11.4 MiB (100.0%)", "100.0%"}},
            {"8,000,000 (100.0%)", {"7.6 MiB (100.0%)", "100.0%"}},
            {"31,457,280 (100.0%)", {"30.0 MiB (100.0%)", "100.0%"}},
            {"43,457,280 (100.0%)", {"41.4 MiB (100.0%)", "100.0%"}},
            {"52,428,800 (100.0%)", {"50.0 MiB (100.0%)", "100.0%"}},
        };
        // A user each: a finished download from the saved queue, then the
        // states of this run, a file over 4 GiB, a folder of two files and a
        // user of two folders.
        cleanup();
        StartPage();
        Download("restarted", "f", "a.bin", 52428800, "complete");
        LoadPage();
        struct Made
        {
            char const* mp_user;
            char const* mp_folder;
            qint64 m_size;
            char const* mp_status;
            qint64 m_done;
        };
        for (Made const& l_made : std::initializer_list<Made>{
                 {"finished", "f", 62914560, "complete", 62914560}, {"paused", "f", 62914560, "paused", 39569495},
                 {"queued", "f", 62914560, "queued", 12582912}, {"running", "f", 62914560, "downloading", 47009468},
                 {"failed", "f", 62914560, "local error", 41918464}, {"aborted", "f", 62914560, "aborted", 26345472},
                 {"large", "f", 5368709120, "downloading", 2684354560}, {"folder", "f", 12000000, "complete", 12000000},
                 {"folder", "f", 8000000, "complete", 8000000}, {"user", "a", 31457280, "complete", 31457280},
                 {"user", "b", 12000000, "complete", 12000000}}) {
            Item const l_entry = Download(l_made.mp_user, l_made.mp_folder, qPrintable(QString::number(d.ItemCount())),
                                          l_made.m_size, "downloading");
            Report(l_entry, l_made.m_done, 1000);
            if (l_made.mp_status == QLatin1String("paused"))
                mp_transfers->PauseDownload(l_entry);
            else if (l_made.mp_status != QLatin1String("downloading"))
                mp_transfers->SetDownloadEntryStatus(l_entry, l_made.mp_status);
        }
        Settle();

        QString const l_formerStyle = QApplication::style()->objectName();
        QStyle* lp_style = QStyleFactory::create(style);
        QVERIFY2(lp_style, qPrintable(style + " is missing (scripts/setup.sh installs it)"));
        QApplication::setStyle(lp_style); // the application's to delete
        auto const l_restore = qScopeGuard([&] { QApplication::setStyle(QStyleFactory::create(l_formerStyle)); });
        if (pixels > 0) {
            QFont l_font = Downloads()->font();
            l_font.setPixelSize(pixels);
            Downloads()->setFont(l_font);
        }
        Downloads()->setColumnWidth(4, width);
        mp_tabs->resize(1000, 1200); // every row in view
        mp_tabs->show();
        QVERIFY(QTest::qWaitForWindowExposed(mp_tabs.get(), WAIT_MS));
        QCOMPARE(Downloads()->verticalScrollBar()->maximum(), 0);
        QVERIFY(Downloads()->header()->sectionViewportPosition(4) + width <= Downloads()->viewport()->width());

        QStringList l_wrong;
        QStringList l_bars;
        for (PaintedBar const& l_bar : PaintedBars(Downloads())) {
            QString const& l_shown = l_bar.m_text;
            QString const l_at = QString("\"%1\" of \"%2\" at %3..%4 x %5..%6 in a bar at %7..%8 x %9..%10")
                                     .arg(l_shown, l_bar.m_whole)
                                     .arg(l_bar.m_extent.left()).arg(l_bar.m_extent.right())
                                     .arg(l_bar.m_extent.top()).arg(l_bar.m_extent.bottom())
                                     .arg(l_bar.m_bar.left()).arg(l_bar.m_bar.right())
                                     .arg(l_bar.m_bar.top()).arg(l_bar.m_bar.bottom());
            if (!l_bars.contains(l_bar.m_whole))
                l_bars << l_bar.m_whole;
            if (l_bar.m_bar.height() > BAR_HEIGHT)
                l_wrong << "a bar too high: " + l_at;
            else if (!l_shown.isEmpty() && l_shown != l_bar.m_whole && !l_forms.value(l_bar.m_whole).contains(l_shown))
                l_wrong << "not whole: " + l_at;
            else if (!l_shown.isEmpty() && !l_bar.m_bar.adjusted(1, 1, -1, -1).contains(l_bar.m_extent))
                l_wrong << "outside the frame: " + l_at;
            else if ((least == "whole" && l_shown != l_bar.m_whole) || (least == "some" && l_shown.isEmpty()))
                l_wrong << "too little: " + l_at;
        }
        QVERIFY2(l_wrong.isEmpty(), qPrintable(l_wrong.join("\n")));
        l_bars.sort();
        QCOMPARE(l_bars, QStringList(l_forms.keys()));
    }

    // A row that ends for a reason says it in its tool tip, until the
    // transfer runs again; a peer's word says little, and is explained.
    void ReasonsShown_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QString>("ending"); // status|reason: the engine's, or the peer's denial
        QTest::addColumn<QString>("shown");  // status text|tool tip as read
        QString const l_user = "Zo\u00eb <b>&amp; Ann";
        QTest::newRow("uploader broke off")
            << false << "aborted|The uploader broke the connection off."
            << "aborted|The uploader broke the connection off.";
        QTest::newRow("not taken") << true << "denied|Cancelled"
                                   << "cancelled|" + l_user + " did not take the file (\"Cancelled\"): it is not "
                                          "among the downloads " + l_user + " asked for, or it is paused there.";
        QTest::newRow("had it") << true << "denied|Complete"
                                << "complete|" + l_user + " has the whole file already (\"Complete\").";
        QTest::newRow("refused") << false << "denied|Too many files"
                                 << "too many files|" + l_user + " refused: Too many files";
        QTest::newRow("bad offset") << true << "local error|Won't seek to offset 9 in file of size 3"
                                    << "local error|Won't seek to offset 9 in file of size 3";
    }

    void ReasonsShown()
    {
        QFETCH(bool, upload);
        QFETCH(QString, ending);
        QString const l_status = ending.section('|', 0, 0), l_reason = ending.section('|', 1);
        char const* const lp_user = "Zo\u00eb <b>&amp; Ann";
        Item const l_entry = upload ? Upload(lp_user, "/srv", "u.bin", 1000, "uploading")
                                    : Download(lp_user, "f", "d.bin", 1000, "downloading");
        auto const l_set = [&](QString const& i_status) {
            if (upload)
                mp_transfers->SetUploadEntryStatus(l_entry, i_status);
            else
                mp_transfers->SetDownloadEntryStatus(l_entry, i_status);
        };
        if (l_status == "denied")
            l_entry += d["denial_reason"]->GetItem(Value(l_reason));
        l_set(l_status);
        if (l_status != "denied")
            emit mp_transfers->TransferEnded(l_entry, l_reason);
        auto const l_shown = [&] {
            QTextDocument l_tip;
            QString const l_html = Row(l_entry)->toolTip(3);
            if (Qt::mightBeRichText(l_html))
                l_tip.setHtml(l_html);
            else
                l_tip.setPlainText(l_html);
            return Row(l_entry)->text(3) + "|" + l_tip.toPlainText();
        };
        QTEST(l_shown(), "shown");
        QString const l_tip = Row(l_entry)->toolTip(3);
        l_set("queued");
        QCOMPARE(Row(l_entry)->toolTip(3), l_tip);
        l_set(upload ? "uploading" : "downloading");
        QCOMPARE(Row(l_entry)->toolTip(3), QString());
    }

    // A group row shows a bar whenever a row below it does, and its figures
    // are the sum of the rows below it, whatever state a transfer is in and
    // whether its row was made in this run or from the saved queue. Alice's
    // (or Carol's) second folder holds a file of the same size that never
    // started, so the user row shows the sum of both folders.
    void GroupBarsInEveryState_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("loaded"); // the entry's row comes from the saved queue, in the first step's status
        QTest::addColumn<QString>("steps"); // start:N (N bytes on disk), report:N, or a status
        QTest::addColumn<QString>("bars");  // file | folder | user
        QString const l_none = "none | none | none";
        QString const l_quarter = "500 (25.0%) =25 | 500 (25.0%) =25 | 500 (12.5%) =12";
        QString const l_whole = "2,000 (100.0%) =100 | 2,000 (100.0%) =100 | 2,000 (50.0%) =50";
        auto const l_row = [](char const* ip_name, bool i_upload, bool i_loaded, QString i_steps, QString i_bars) {
            QTest::newRow(ip_name) << i_upload << i_loaded << i_steps << i_bars;
        };
        l_row("download, new, queued", false, false, "queued", l_none);
        l_row("download, new, downloading", false, false, "start:0,report:500", l_quarter);
        l_row("download, new, paused", false, false, "start:0,report:500,paused", l_quarter);
        l_row("download, new, aborted", false, false, "start:0,report:500,aborted", l_quarter);
        l_row("download, new, failed", false, false, "start:0,report:500,local error", l_quarter);
        l_row("download, new, complete", false, false, "start:0,report:2000,complete", l_whole);
        // Started again: the row shows what the partial file holds, which
        // its last report had not reached, and so do its groups.
        l_row("download, new, started again", false, false, "start:0,report:400,aborted,start:500", l_quarter);
        l_row("download, loaded, queued", false, true, "queued", l_none);
        l_row("download, loaded, paused", false, true, "paused", l_none);
        l_row("download, loaded, complete", false, true, "complete", l_whole);
        l_row("download, loaded, downloading", false, true, "queued,start:500", l_quarter);
        l_row("download, loaded, paused after running", false, true, "queued,start:100,report:500,paused", l_quarter);
        l_row("download, loaded, aborted", false, true, "queued,start:100,report:500,aborted", l_quarter);
        l_row("download, loaded, failed", false, true, "queued,start:100,report:500,local error", l_quarter);
        // What its partial file holds shows before any report; a file it
        // did not make (the user's) is not its own.
        l_row("download, loaded, queued, bytes on disk", false, true, "disk:500,queued", l_quarter);
        l_row("download, loaded, paused, bytes on disk", false, true, "disk:500,paused", l_quarter);
        l_row("download, loaded, queued, a file it did not make", false, true, "file:500,queued", l_none);
        l_row("upload, queued", true, false, "queued", l_none);
        l_row("upload, uploading", true, false, "uploading,report:500", l_quarter);
        l_row("upload, aborted", true, false, "uploading,report:500,aborted", l_quarter);
        l_row("upload, aborted before it sent", true, false, "connecting,aborted", l_none);
        l_row("upload, failed", true, false, "requesting,local error", l_none);
        l_row("upload, complete", true, false, "uploading,report:1000,complete", l_whole);
        l_row("upload, queued again", true, false, "uploading,report:500,aborted,queued", l_none);
    }

    void GroupBarsInEveryState()
    {
        QFETCH(bool, upload);
        QFETCH(bool, loaded);
        QFETCH(QString, steps);
        QStringList l_steps = steps.split(',');
        Item l_entry;
        auto const l_make = [&](char const* ip_status) {
            if (upload) {
                Upload("carol", "/srv/g", "never.bin", 2000, "queued");
                l_entry = Upload("carol", "/srv/f", "u.bin", 2000, ip_status);
            } else {
                Download("alice", "g", "never.bin", 2000, "queued");
                l_entry = Download("alice", "f", "d.bin", 2000, ip_status);
            }
        };
        if (loaded) {
            cleanup(); // from before the saved queue is loaded
            StartPage();
            QString const l_disk = l_steps.first().contains(':') ? l_steps.takeFirst() : QString();
            l_make(qPrintable(l_steps.takeFirst()));
            if (!l_disk.isEmpty()) {
                // A partial file at the download's place, left by the last run.
                QString const l_path = mp_transfers->GetSafeDownloadPath(l_entry, false);
                QDir().mkpath(QFileInfo(l_path).path());
                QFile l_file(l_path);
                QVERIFY(l_file.open(QIODevice::WriteOnly));
                l_file.write(QByteArray(l_disk.section(':', 1).toInt(), 'x'));
                l_file.close();
                SetFlag(l_entry, "partial_file_made", l_disk.startsWith("disk"));
                SetSetting("partial_files_marked", "yes"); // saved by a version that marks them
            }
            LoadPage();
            Settle();
        } else {
            l_make("queued");
        }
        for (QString const& l_step : l_steps) {
            QString const l_word = l_step.section(':', 0, 0);
            qint64 const l_bytes = l_step.section(':', 1).toLongLong();
            if (l_word == "start") {
                // As the engine starts a download: its counter at what the
                // partial file holds, then the status.
                l_entry += d["write_position"]->GetItem(Value(new qint64(l_bytes)));
                l_entry += d["bytes_per_second"]->GetItem(Value(new int(0)));
                mp_transfers->SetDownloadEntryStatus(l_entry, "downloading");
            } else if (l_word == "report") {
                Report(l_entry, l_bytes, 100);
            } else if (l_word == "paused") {
                mp_transfers->PauseDownload(l_entry);
            } else if (upload) {
                mp_transfers->SetUploadEntryStatus(l_entry, l_word);
            } else {
                mp_transfers->SetDownloadEntryStatus(l_entry, l_word);
            }
            Settle();
        }
        QTreeWidget* lp_tree = upload ? Uploads() : Downloads();
        QTreeWidgetItem* lp_file = Row(l_entry);
        QTEST(Bar(lp_file, lp_tree) + " | " + Bar(lp_file->parent(), lp_tree) + " | " +
                  Bar(lp_file->parent()->parent(), lp_tree),
              "bars");
        // Expanded or collapsed, a group keeps to the rule; an expanded user
        // row over one folder only would repeat it.
        QTreeWidgetItem* lp_folder = lp_file->parent();
        QString const l_folderBar = Bar(lp_folder, lp_tree);
        lp_folder->setExpanded(false);
        lp_folder->setExpanded(true);
        Settle();
        QCOMPARE(Bar(lp_folder, lp_tree), l_folderBar);
    }

    void FailedDownloadRow_data()
    {
        QTest::addColumn<QString>("retry"); // how the retry comes: the user's, or the sweep at a time
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("shown");
        QString const l_queued = "queued | 3,112,960 (4.9%) =4 |  | ";
        QTest::newRow("the user's") << "user" << false << l_queued;
        QTest::newRow("due, user online") << "10:52:06" << true << l_queued;
        // Asked for when he comes, as any queued one: a retry time that has
        // passed stays no longer.
        QTest::newRow("due, user offline") << "10:52:06" << false << l_queued;
        QTest::newRow("not yet due, user offline")
            << "10:51:35" << false << "local error | 3,112,960 (4.9%) =4 | retry 10:52 | ";
    }

    // A download that failed here says so, why, and when it is asked for
    // again, until it is; no figure moves meanwhile.
    void FailedDownloadRow()
    {
        QFETCH(QString, retry);
        QFETCH(bool, online);
        QDateTime const l_now(QDate(2026, 12, 8), QTime(10, 42, 5));
        mp_transfers->SetClock([l_now] { return l_now; });
        Item const l_entry = Download("alice", "f", "big.iso", 62914560);
        Download("alice", "f", "small.iso", 1048576);
        l_entry += d["write_position"]->GetItem(Value(new qint64(0)));
        l_entry += d["bytes_per_second"]->GetItem(Value(new int(0)));
        mp_transfers->SetDownloadEntryStatus(l_entry, "downloading");
        Report(l_entry, 2891776, 150000);
        Report(l_entry, 3112960, 0); // where the disk filled
        mp_transfers->SetDownloadEntryStatus(l_entry, "local error");
        emit mp_transfers->DownloadLocalError(l_entry, "the file could not be written (No space left on device): /d/f/big.iso");
        Settle();
        QTreeWidgetItem* lp_row = Row(l_entry);
        QTreeWidgetItem* lp_folder = lp_row->parent();
        auto const l_shown = [&](QTreeWidgetItem* ip_row) {
            return QStringList({ip_row->text(3), Bar(ip_row), ip_row->text(5), ip_row->text(6)}).join(" | ");
        };
        QCOMPARE(l_shown(lp_row), QString("local error | 3,112,960 (4.9%) =4 | retry 10:52 | "));
        QCOMPARE(Bar(lp_folder), QString("3,112,960 (4.9%) =4"));
        QCOMPARE(lp_folder->text(5) + lp_folder->text(6), QString());
        QTextDocument l_tip;
        l_tip.setHtml(lp_row->toolTip(5));
        QCOMPARE(l_tip.toPlainText(), QString("the file could not be written (No space left on device): /d/f/big.iso\n"
                                              "It is asked for again at 10:52; \"Retry download\" asks for it now."));
        // A retry, due or the user's, says why the last run ended, not when.
        SetFlag(l_entry["user"], "is_online", online);
        if (retry == "user") {
            mp_transfers->RequeueDownload(l_entry);
        } else {
            QDateTime const l_later(l_now.date(), QTime::fromString(retry, "HH:mm:ss"));
            mp_transfers->SetClock([l_later] { return l_later; });
            mp_transfers->EveryHalfMinute();
        }
        Settle();
        QTEST(l_shown(lp_row), "shown");
        l_tip.setHtml(lp_row->toolTip(5));
        QCOMPARE(l_tip.toPlainText(), l_shown(lp_row).startsWith("queued")
                                          ? QString("the file could not be written (No space left on device): /d/f/big.iso")
                                          : QString("the file could not be written (No space left on device): /d/f/big.iso\n"
                                                    "It is asked for again at 10:52; \"Retry download\" asks for it now."));
        mp_transfers->SetClock(TransferQueueManager::Clock());
    }

    // A stopped transfer keeps its bar; an upload queued again loses it, as
    // its next run starts wherever the downloader asks. A download queued
    // again keeps it: those bytes are on our disk.
    void BarsOfStoppedTransfers()
    {
        Item const l_upload = Upload("carol", "/srv", "u.bin", 2000, "uploading");
        Item const l_download = Download("alice", "f", "d.bin", 2000, "downloading");
        for (Item const& l_entry : {l_upload, l_download})
            Report(l_entry, 500, 100);
        mp_transfers->SetUploadEntryStatus(l_upload, "aborted");
        mp_transfers->SetDownloadEntryStatus(l_download, "aborted");
        QCOMPARE(Bar(Row(l_upload), Uploads()) + " | " + Bar(Row(l_download)),
                 QString("500 (25.0%) =25 | 500 (25.0%) =25"));
        mp_transfers->SetUploadEntryStatus(l_upload, "queued");
        mp_transfers->SetDownloadEntryStatus(l_download, "queued");
        QCOMPARE(Bar(Row(l_upload), Uploads()) + " | " + Bar(Row(l_download)), QString("none | 500 (25.0%) =25"));
    }

    // A user's row takes its status and colour from what stays when one of
    // his folders goes: a complete user is not left in the colour of an
    // aborted upload that was removed.
    void UserRowAfterAFolderGoes()
    {
        Item const l_aborted = Upload("carol", "/srv/a", "x.bin", 1000, "aborted");
        Upload("carol", "/srv/b", "y.bin", 1000, "complete");
        Settle();
        QTreeWidgetItem* lp_user = Uploads()->topLevelItem(0);
        QCOMPARE(lp_user->foreground(0).color().name(), QString("#ff0a47"));
        mp_transfers->RemoveUpload(l_aborted);
        Settle();
        lp_user->setExpanded(false);
        QCOMPARE(lp_user->text(3) + " " + lp_user->foreground(0).color().name(), QString("complete #006400"));
    }

    void DeleteKey_data()
    {
        QTest::addColumn<QStringList>("selected"); // user, user/folder or file rows
        QTest::addColumn<QStringList>("left");
        QTest::newRow("one file") << QStringList({"a1"}) << QStringList({"a2", "a3", "b1"});
        QTest::newRow("a folder") << QStringList({"alice/x"}) << QStringList({"a3", "b1"});
        QTest::newRow("a user and its own file") << QStringList({"alice", "a1"}) << QStringList({"b1"});
        QTest::newRow("a folder, its file and another user's file")
            << QStringList({"a2", "alice/x", "b1"}) << QStringList({"a3"});
    }

    void DeleteKey()
    {
        QFETCH(QStringList, selected);
        std::map<QString, Item> l_entries = {{"a1", Download("alice", "x", "a1")}, {"a2", Download("alice", "x", "a2")},
                                             {"a3", Download("alice", "y", "a3")}, {"b1", Download("bob", "x", "b1")}};
        for (QString const& l_name : selected) {
            if (l_entries.count(l_name))
                Row(l_entries[l_name])->setSelected(true);
            else
                for (QTreeWidgetItem* lp_row : Downloads()->findItems(l_name.section('/', 0, 0), Qt::MatchExactly))
                    (l_name.contains('/') ? lp_row->child(0) : lp_row)->setSelected(true);
        }
        QTest::keyClick(Downloads(), Qt::Key_Delete);
        QStringList l_left;
        for (Item const& l_entry : d["download_entry"]->GetItems())
            l_left << l_entry["file_name"].AsString();
        QTEST(l_left, "left");
        QCOMPARE(int(d["download_list_node"]->GetItemCount()), l_left.size());
    }

    // The groups of a large loaded queue are walked a few rows a turn of
    // the event loop after its last row, and then show all their entries.
    void GroupsWalkedAFewRowsAStep()
    {
        cleanup(); // from before the saved queue is loaded
        StartPage();
        mp_page->OnActionBarTriggered(nullptr, "expand_download_folders"); // a collapsed folder shows its status
        for (int l_k = 0; l_k < 300; ++l_k)
            Download("alice", "f", qPrintable(QString("%1.mp3").arg(l_k)), 1000, l_k < 299 ? "complete" : nullptr);
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0);
        mp_page->DataLoaded();
        mp_transfers->DataLoaded();
        while (d["download_list_node"]->GetItemCount() < 300)
            QCoreApplication::processEvents();
        QTreeWidgetItem* lp_folder = Downloads()->topLevelItem(0)->child(0);
        int l_turns = 0;
        while (lp_folder->text(3) != "queued" && l_turns < 1000) {
            QCoreApplication::processEvents();
            ++l_turns;
        }
        SlicedWork::SetSliceMs(l_slice);
        QVERIFY2(l_turns >= 6 && l_turns < 1000, qPrintable(QString("%1 turns").arg(l_turns)));
        QCOMPARE(Bar(lp_folder), QString("299,000 (99.7%) =99"));
    }

    // Clear Complete and the Delete key take one entry a turn of the event
    // loop; what changes meanwhile is honoured: an entry asked for again
    // stays, one removed another way is passed over, a second command
    // queues behind the first, and the groups are shown as they are left.
    void RemovalInSlices()
    {
        std::vector<Item> l_done;
        for (char const* lp_file : {"c1", "c2", "c3", "c4", "c5", "c6"})
            l_done.push_back(Download("alice", "f", lp_file, 1000, "complete"));
        Item const l_queued = Download("alice", "f", "q");
        Item const l_running = Download("alice", "g", "r", 1000, "downloading");
        Report(l_running, 100, 10);
        Settle();
        Row(l_queued)->parent()->setExpanded(false);
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0);
        mp_page->OnActionBarTriggered(nullptr, "clear_complete_downloads");
        QCOMPARE(d["download_entry"]->GetItemCount(), 8u);
        mp_transfers->SetDownloadEntryStatus(l_done[1], "paused");
        mp_transfers->RemoveDownload(l_done[2]);
        mp_transfers->SetDownloadEntryStatus(l_done[4], "complete");
        Report(l_running, 200, 10);
        // The last of these have gone by their turn: their steps show nothing.
        for (Item const& l_entry : {l_queued, l_done[3], l_done[4], l_done[5]})
            Row(l_entry)->setSelected(true);
        QTest::keyClick(Downloads(), Qt::Key_Delete);
        QStringList const l_left({"alice", "  f|paused", "    c2|paused", "  g", "    r|downloading"});
        int l_turns = 0;
        while (Dump(Downloads(), {0, 1, 2, 3}) != l_left && l_turns < 1000) {
            QCoreApplication::processEvents();
            ++l_turns;
        }
        SlicedWork::SetSliceMs(l_slice);
        QVERIFY2(l_turns >= 10, qPrintable(QString("%1 turns").arg(l_turns)));
        QCOMPARE(Dump(Downloads(), {0, 1, 2, 3}), l_left);
        QCOMPARE(d["download_list_node"]->GetItemCount(), 2u);
    }

    // The commands over a whole selection build its set of entries in work
    // that grows with it (counted where sets grow), and the rows of what
    // they remove leave the tree in a few changes, not one a row. The
    // menu's "Remove downloads" goes in slices as the Delete key does.
    void SelectionWideCommands()
    {
        std::vector<Item> l_entries;
        for (int l_k = 0; l_k < 600; ++l_k)
            l_entries.push_back(Download(qPrintable(QString("user%1").arg(l_k % 3)),
                                         qPrintable(QString("folder%1").arg(l_k % 300)),
                                         qPrintable(QString("%1.mp3").arg(l_k))));
        Settle();
        // The file rows alone: a group row would stand for all its entries.
        Downloads()->selectAll();
        for (QTreeWidgetItemIterator l_it(Downloads()); *l_it; ++l_it)
            if ((*l_it)->childCount() > 0)
                (*l_it)->setSelected(false);
        std::uint64_t l_before = ItemSet::GrowthWork();
        QStringList l_users;
        QCOMPARE(mp_page->GetDownloadMenuEntries(l_users).size(), l_entries.size());
        std::uint64_t l_work = ItemSet::GrowthWork() - l_before;
        QVERIFY2(l_work < 600 * 32, qPrintable(QString::number(l_work)));

        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0);
        ItemSet l_two(l_entries[0]);
        l_two.insert(l_entries[1]);
        Choose<DownloadMenuOptions>(l_two, "Remove downloads");
        bool const l_inSlices = l_entries[1].IsValid();
        bool const l_removed = WaitUntil([&]() { return Dump(Downloads()).size() == 3 + 300 + 598; });
        SlicedWork::SetSliceMs(l_slice);
        QVERIFY(l_inSlices && l_removed);

        int l_removals = 0;
        connect(Downloads()->model(), &QAbstractItemModel::rowsAboutToBeRemoved, this, [&]() { ++l_removals; });
        l_before = ItemSet::GrowthWork();
        QTest::keyClick(Downloads(), Qt::Key_Delete);
        l_work = ItemSet::GrowthWork() - l_before;
        QVERIFY2(l_work < 600 * 32, qPrintable(QString::number(l_work)));
        // After the menu's removal, which may still be ending.
        QVERIFY(WaitUntil([this]() {
            return d["download_entry"]->GetItemCount() + d["download_list_node"]->GetItemCount() == 0 &&
                   Downloads()->topLevelItemCount() == 0;
        }));
        QVERIFY2(l_removals <= 3, qPrintable(QString::number(l_removals)));
    }

    // Rows that stay when many leave together keep what the view showed of
    // them: expanded or not, selected, current, their bars.
    void RowsLeaveTogether()
    {
        for (int l_k = 0; l_k < 6; ++l_k)
            Download("alice", qPrintable(QString("done%1").arg(l_k)), "d.mp3", 1000, "complete");
        Item const l_running = Download("alice", "keep", "r.mp3", 1000, "downloading");
        Item const l_queued = Download("alice", "keep", "q.mp3");
        Item const l_bobs = Download("bob", "b", "b.mp3");
        Report(l_running, 500, 10);
        Settle();
        Row(l_bobs)->parent()->setExpanded(false);
        Row(l_queued)->setSelected(true);
        Downloads()->setCurrentItem(Row(l_bobs), 0, QItemSelectionModel::NoUpdate);
        int l_removals = 0;
        connect(Downloads()->model(), &QAbstractItemModel::rowsAboutToBeRemoved, this, [&]() { ++l_removals; });
        mp_page->OnActionBarTriggered(nullptr, "clear_complete_downloads");
        Settle();
        QCOMPARE(Dump(Downloads(), {0, 1, 2}), QStringList({"alice", "  keep", "    r.mp3", "    q.mp3", "bob", "  b",
                                                           "    b.mp3"}));
        QCOMPARE(l_removals, 1);
        QVERIFY(Row(l_queued)->parent()->isExpanded() && Row(l_queued)->parent()->parent()->isExpanded());
        QVERIFY(!Row(l_bobs)->parent()->isExpanded());
        QCOMPARE(Bar(Row(l_running)), QString("500 (50.0%) =50"));
        QCOMPARE(Downloads()->selectedItems(), QList<QTreeWidgetItem*>({Row(l_queued)}));
        QVERIFY(Row(l_queued)->isSelected());
        QCOMPARE(Downloads()->currentItem(), Row(l_bobs));
    }

    void ClearFinishedUploadsInSteps_data()
    {
        QTest::addColumn<bool>("command"); // or the half-minute clean-up
        QTest::newRow("Clear Complete and Aborted") << true;
        QTest::newRow("half-minute clean-up") << false;
    }

    // "Clear Complete and Aborted" and the half-minute clean-up take in a
    // bounded number of uploads a step, however many there are: the one
    // clears the ended ones and those queued by users long offline, the
    // other also one that runs without a report.
    void ClearFinishedUploadsInSteps()
    {
        QFETCH(bool, command);
        QString const l_ago = QDateTime::currentDateTime().addSecs(-400).toString(Qt::TextDate);
        SetAttribute(d["user"]->GetItem(Value("gone")), "last_online_status_change", Value(l_ago));
        struct Case { char const* mp_user; char const* mp_status; bool m_staysClear, m_staysIdle; };
        Case const l_cases[] = {{"x", "complete", false, false}, {"x", "aborted", false, false},
                                {"x", "uploading", true, false}, {"gone", "queued", false, false},
                                {"x", "queued", true, true}};
        std::vector<Item> l_entries;
        for (int l_k = 0; l_k < 600; ++l_k) {
            Case const& l_case = l_cases[l_k % std::size(l_cases)];
            l_entries.push_back(Upload(l_case.mp_user, "/s", qPrintable(QString::number(l_k)), 10, l_case.mp_status));
            SetAttribute(l_entries.back(), "last_status_change_time", Value(l_ago));
        }
        SetSetting("clear_complete_aborted_uploads", "yes");
        qint64 const l_slice = SlicedWork::SliceMs();
        SlicedWork::SetSliceMs(0);
        if (command)
            mp_page->OnActionBarTriggered(nullptr, "clear_complete_and_aborted_uploads");
        else
            mp_page->EveryHalfMinute();
        int l_turns = 0;
        while (d["upload_entry"]->GetItemCount() > (command ? 240u : 120u) && l_turns < 10000) {
            QCoreApplication::processEvents();
            ++l_turns;
        }
        SlicedWork::SetSliceMs(l_slice);
        QVERIFY2(mp_page->MostGatheredInAStep() > 0 && mp_page->MostGatheredInAStep() <= 256,
                 qPrintable(QString::number(mp_page->MostGatheredInAStep())));
        for (std::size_t l_k = 0; l_k < l_entries.size(); ++l_k) {
            Case const& l_case = l_cases[l_k % std::size(l_cases)];
            QVERIFY2(l_entries[l_k].IsValid() == (command ? l_case.m_staysClear : l_case.m_staysIdle),
                     qPrintable(QString::number(l_k)));
        }
    }

    void LimitsAndSlots()
    {
        cleanup(); // from before the saved queue is loaded
        StartPage();
        SetSetting("upload_slots", "150");
        SetSetting("download_speed_limit", "123456");
        SetSetting("clear_complete_downloads", "yes");
        SetSetting("download_speed_limit_enabled", "yes");
        mp_page->DataLoaded(); // shows what it can, writes nothing
        Ui_TransfersForm* lp_ui = mp_page->Form();
        QCOMPARE(lp_ui->uploadSlotsSpinBox->value(), 99);
        QCOMPARE(lp_ui->downloadLimitSpinBox->value(), 99999);
        QVERIFY(lp_ui->clearDownloadsCheckBox->isChecked() && lp_ui->downloadLimitCheckBox->isChecked());
        QCOMPARE(GetSetting("upload_slots") + GetSetting("download_speed_limit"), QString("150123456"));

        // A limit of nought switches the limit off, another one on.
        auto const l_limit = [] {
            return GetSetting("download_speed_limit") + GetSetting("download_speed_limit_enabled");
        };
        lp_ui->downloadLimitSpinBox->setValue(0);
        QCOMPARE(l_limit(), QString("0no"));
        lp_ui->downloadLimitSpinBox->setValue(50);
        QCOMPARE(l_limit(), QString("50yes"));
        lp_ui->downloadLimitCheckBox->setChecked(false);
        QCOMPARE(l_limit(), QString("50no"));
        lp_ui->uploadSlotsSpinBox->setValue(7);
        lp_ui->clearDownloadsCheckBox->setChecked(false);
        lp_ui->clearUploadsCheckBox->setChecked(true);
        QCOMPARE(GetSetting("upload_slots") + GetSetting("clear_complete_downloads"), QString("7"));
        QVERIFY(!IsSettingSet("clear_complete_downloads") && IsSettingYes("clear_complete_aborted_uploads"));
    }

    void CompletionAlerts()
    {
        Item const l_a = Download("alice", "music\\live", "a.mp3");
        Item const l_b = Download("alice", "music\\live", "b.mp3");
        Item const l_c = Download("alice", "other", "c.mp3");
        Download("bob", "music\\live", "d.mp3"); // another user's folder does not hold alice's back
        SetFlag(d["user"]->GetItem(Value("alice")), "is_online", true);
        d["complete_download_alert"]->NewItem() += l_a;
        for (bool l_folder : {true, false}) {
            Item const l_group = d["complete_download_alert"]->NewItem();
            l_group += l_a["user"];
            if (l_folder)
                l_group += l_a["remote_folder"];
        }
        mp_transfers->SetDownloadEntryStatus(l_a, "complete");
        mp_transfers->SetDownloadEntryStatus(l_c, "complete");
        Settle();
        QCOMPARE(m_balloons, QStringList({"Download of file a.mp3 complete"}));
        SetSetting("clear_complete_downloads", "yes");
        mp_transfers->SetDownloadEntryStatus(l_b, "complete");
        Settle();
        QCOMPARE(m_balloons.mid(1), QStringList({"Download of folder live complete",
                                                 "All download from user alice complete"}));
        QCOMPARE(d["complete_download_alert"]->GetItemCount(), 0u);
        QVERIFY(l_b.IsNull() && l_a.IsValid()); // cleared after its alerts
        QTreeWidgetItem* lp_user = Downloads()->findItems("alice", Qt::MatchExactly).value(0);
        QCOMPARE(lp_user->icon(0).pixmap(16).toImage(), QIcon(":/icons/online_icon").pixmap(16).toImage());

        // A completion whose entry went before its turn is skipped.
        mp_transfers->RemoveDownload(Download("bob", "x", "e.mp3", 1000, "complete"));
        Settle();
        QCOMPARE(m_balloons.size(), 3);
    }

    void UploadCleanUp()
    {
        QDateTime const l_now = QDateTime::currentDateTime();
        auto const l_ago = [&l_now](int i_seconds) { return l_now.addSecs(-i_seconds).toString(Qt::TextDate); };
        SetAttribute(d["user"]->GetItem(Value("gone")), "last_online_status_change", Value(l_ago(400)));
        SetAttribute(d["user"]->GetItem(Value("away")), "last_online_status_change", Value(l_ago(200)));
        struct Case { char const* mp_user; char const* mp_status; int m_changedAgo; bool m_stays; };
        Case const l_cases[] = {{"x", "complete", 300, false}, {"x", "aborted", 290, true},
                                {"x", "uploading", 400, true}, {"gone", "queued", 300, false},
                                {"gone", "queued", 100, true},  {"away", "queued", 900, true}};
        std::vector<Item> l_entries;
        for (Case const& l_case : l_cases) {
            l_entries.push_back(Upload(l_case.mp_user, "/s", l_case.mp_status, 1000, l_case.mp_status));
            SetAttribute(l_entries.back(), "last_status_change_time", Value(l_ago(l_case.m_changedAgo)));
        }
        // A transfer that reported a moment ago is not idle.
        l_entries[2] += d["last_receipt_time"]->GetItem(Value(new QDateTime(l_now)));
        mp_page->EveryHalfMinute();
        QCOMPARE(d["upload_entry"]->GetItemCount(), std::size(l_cases)); // the switch is off
        SetSetting("clear_complete_aborted_uploads", "yes");
        mp_page->EveryHalfMinute();
        for (std::size_t l_k = 0; l_k < std::size(l_cases); ++l_k)
            QVERIFY2(l_entries[l_k].IsValid() == l_cases[l_k].m_stays, qPrintable(QString::number(l_k)));
    }

    void ToolBarActions()
    {
        Download("alice", "f", "a.mp3");
        Item const l_done = Download("alice", "g", "b.mp3", 1000, "complete");
        mp_page->OnActionBarTriggered(nullptr, "expand_download_folders");
        mp_page->OnActionBarTriggered(nullptr, "expand_download_users");
        QTreeWidgetItem* lp_user = Downloads()->topLevelItem(0);
        QVERIFY(!lp_user->isExpanded() && !lp_user->child(0)->isExpanded() && !lp_user->child(1)->isExpanded());
        mp_page->OnActionBarTriggered(nullptr, "clear_complete_downloads");
        QVERIFY(l_done.IsNull());
        QCOMPARE(Dump(Downloads(), {0, 1, 2}), QStringList({"alice", "  f", "    a.mp3"}));

        mp_page->OnActionBarTriggered(nullptr, "finish_uploads_and_quit");
        QCOMPARE(GetVSetting("finish_uploads_and_quit"), QString("yes"));
        mp_page->OnActionBarTriggered(nullptr, "finish_uploads_and_quit");
        QCOMPARE(GetVSetting("finish_uploads_and_quit"), QString("no"));

        mp_page->OnActionBarTriggered(nullptr, "complete_downloads");
        mp_page->OnActionBarTriggered(nullptr, "complete_downloads");
        QTabWidget* lp_tabs = mp_page->Form()->transfersTabControl;
        QCOMPARE(lp_tabs->count(), 3);
        QCOMPARE(lp_tabs->tabText(lp_tabs->currentIndex()), QString("Complete"));
    }

    void DownloadMenu_data()
    {
        QTest::addColumn<QString>("selected"); // entries, ";" between them
        QTest::addColumn<QString>("others");   // not selected; or an alert on the first's folder, or a menu entry
        QTest::addColumn<QString>("texts");
        auto const l_row = [](char const* ip_name, char const* ip_selected, char const* ip_others, QString i_texts) {
            QTest::newRow(ip_name) << ip_selected << ip_others << i_texts;
        };
        QString const l_notifyBoth = ", Notify me when...[File download completes,Folder download completes]";
        l_row("complete, searched", "a|f|complete|rock & roll", "",
              "Open File, Open Folder, -, Remove download, Re-run Search: rock && roll");
        l_row("queued", "a|f|queued", "",
              "Open Folder, Retry download, Pause download, -, Remove download" + l_notifyBoth);
        l_row("paused", "a|f|paused", "",
              "Open Folder, Retry download, Resume download, -, Remove download" + l_notifyBoth);
        l_row("downloading, after other entries", "a|f|downloading", "menu entry",
              "other, -, Open Folder, Pause download, -, Remove download" + l_notifyBoth);
        l_row("paused and queued", "a|f|paused;a|f|queued", "",
              "Open Folder, Retry downloads, Pause download, Resume download, -, Remove downloads, "
              "Notify me when...[Folder download completes]");
        l_row("two complete", "a|f|complete;a|f|complete", "", "Open Folder, Retry downloads, -, Remove downloads");
        l_row("two users", "a|f|queued;b|f|queued", "",
              "Open Folder, Retry downloads, Pause downloads, -, Remove downloads");
        l_row("alerted, user of two folders", "a|f|queued|alert", "a|g|queued",
              "Open Folder, Retry download, Pause download, -, Remove download, "
              "Notify me when...[Folder download completes,All downloads from user complete]");
        l_row("folder alerted, search only on a later entry", "a|f|complete;a|f|queued|later", "folder alert",
              "Open Folder, Retry downloads, Pause download, -, Remove downloads");
    }

    void DownloadMenu()
    {
        QFETCH(QString, selected);
        QFETCH(QString, others);
        QMenu l_menu;
        ItemSet l_entries;
        for (QString const& l_spec : selected.split(';'))
            l_entries.insert(Entry(l_spec));
        if (others == "folder alert") {
            Item const l_alert = d["complete_download_alert"]->NewItem();
            l_alert += Item(l_entries)["user"];
            l_alert += Item(l_entries)["remote_folder"];
        } else if (others == "menu entry") {
            l_menu.addAction("other");
        } else if (!others.isEmpty()) {
            Entry(others);
        }
        DownloadMenuOptions l_options(&l_menu, l_entries);
        QTEST(Texts(l_menu).join(", "), "texts");
    }

    void UploadMenu()
    {
        Item const l_one = Upload("a", "/s", "x");
        ItemSet l_two(l_one);
        l_two.insert(Upload("a", "/s", "y"));
        struct Case { ItemSet m_entries; bool m_prior; QStringList m_texts; };
        for (Case const& l_case :
             {Case{l_one, false, {"Open File", "Open Folder", "-", "Remove upload"}},
              Case{l_two, false, {"Open Folder", "-", "Remove uploads"}},
              Case{l_one, true, {"other", "-", "Open File", "Open Folder", "-", "Remove upload"}},
              Case{ItemSet(), true, {"other"}}}) {
            QMenu l_menu;
            if (l_case.m_prior)
                l_menu.addAction("other");
            UploadMenuOptions l_options(&l_menu, l_case.m_entries);
            QCOMPARE(Texts(l_menu), l_case.m_texts);
        }
    }

    void DownloadCommands()
    {
        Item const l_paused = Entry("a|music\\live|paused");
        Item const l_aborted = Entry("a|music\\live|aborted");
        Item const l_complete = Entry("a|music\\live|complete|rock");
        Item const l_other = Entry("a|other|queued");
        ItemSet l_all(l_paused);
        for (Item const& l_entry : {l_aborted, l_complete})
            l_all.insert(l_entry);
        Choose<DownloadMenuOptions>(l_all, "Retry downloads");
        QCOMPARE(l_paused["download_entry_status"].AsString() + l_aborted["download_entry_status"].AsString(),
                 QString("pausedqueued"));
        Choose<DownloadMenuOptions>(l_all, "Pause download"); // the aborted one, now queued
        Choose<DownloadMenuOptions>(l_all, "Resume downloads");
        QCOMPARE(l_aborted["download_entry_status"].AsString() + l_complete["download_entry_status"].AsString(),
                 QString("queuedcomplete"));

        // Alerts: the entry and its group rows carry the icon.
        Choose<DownloadMenuOptions>(l_paused, "File download completes");
        Choose<DownloadMenuOptions>(l_paused, "Folder download completes");
        Choose<DownloadMenuOptions>(l_other, "All downloads from user complete");
        QTreeWidgetItem* lp_file = Row(l_paused);
        QVERIFY(!lp_file->icon(2).isNull() && !lp_file->parent()->icon(1).isNull());
        QCOMPARE(lp_file->parent()->parent()->icon(0).pixmap(16).toImage(),
                 QIcon(":/icons/alert_icon").pixmap(16).toImage());
        QCOMPARE(d["complete_download_alert"]->GetItemCount(), 3u);
        QVERIFY(l_paused["complete_download_alert"].IsValid());

        // Open File and Open Folder reach the finished file, with "/".
        Choose<DownloadMenuOptions>(l_complete, "Open File");
        Choose<DownloadMenuOptions>(l_all, "Open Folder");
        mp_page->OnDownloadListItemDoubleClicked(Row(l_complete), 0);
        mp_page->OnDownloadListItemDoubleClicked(Row(l_complete)->parent(), 1);
        QString const l_folder = QDir::homePath() + "/Quillmar Downloads/complete/live";
        QCOMPARE(m_opened, QStringList({l_folder + "/complete-2.mp3", l_folder, l_folder + "/complete-2.mp3"}));
        SetSetting("download_folder", "relative\\folder"); // nothing outside the download folder opens
        Choose<DownloadMenuOptions>(l_complete, "Open File");
        Choose<DownloadMenuOptions>(l_complete, "Open Folder");
        QCOMPARE(m_opened.size(), 3);

        Choose<DownloadMenuOptions>(l_complete, "Re-run Search: rock");
        QList<SearchResultsForm*> const l_tabs = mp_search->findChildren<SearchResultsForm*>();
        QCOMPARE(l_tabs.size(), 1);
        QCOMPARE(l_tabs[0]->SearchText(), QString("rock"));
        Choose<DownloadMenuOptions>(l_all, "Remove downloads");
        QCOMPARE(d["download_entry"]->GetItemCount(), 1u);
    }

    void UploadCommands()
    {
        d["shared_folder"]->GetItem(Value("/srv/share"));
        Item const l_shared = Upload("a", "/srv\\share\\pics", "x.png");
        Item const l_outside = Upload("a", "/etc", "passwd");
        Item const l_climbing = Upload("a", "/srv/share/pics", "../../../etc/passwd");
        for (Item const& l_entry : {l_shared, l_outside, l_climbing}) {
            Choose<UploadMenuOptions>(l_entry, "Open File");
            Choose<UploadMenuOptions>(l_entry, "Open Folder");
        }
        QCOMPARE(m_opened, QStringList({"/srv/share/pics/x.png", "/srv/share/pics", "/srv/share/pics"}));
        ItemSet l_both(l_shared);
        l_both.insert(l_outside);
        Choose<UploadMenuOptions>(l_both, "Remove uploads");
        QCOMPARE(d["upload_entry"]->GetItemCount(), 1u);
    }

    void MenuEntriesOfSelections()
    {
        for (char const* lp_file : {"a1", "a2", "a3"})
            Download("alice", "x", lp_file);
        Download("alice", "y", "a4");
        Download("bob", "x", "b1");
        auto const l_select = [this](QStringList const& i_rows) {
            Downloads()->clearSelection();
            for (QTreeWidgetItemIterator l_it(Downloads()); *l_it; ++l_it)
                if (i_rows.contains((*l_it)->text(0) + (*l_it)->text(1) + (*l_it)->text(2)))
                    (*l_it)->setSelected(true);
            QStringList l_users;
            QStringList l_files;
            for (Item const& l_entry : mp_page->GetDownloadMenuEntries(l_users))
                l_files << l_entry["file_name"].AsString();
            return l_files.join(',') + " for " + l_users.join(',');
        };
        QCOMPARE(l_select({"alice"}), QString("a1,a2,a3,a4 for alice"));
        QCOMPARE(l_select({"alice", "b1"}), QString("b1 for alice,bob"));
        QCOMPARE(l_select({"a1", "a3"}), QString("a1,a3 for alice"));
        QCOMPARE(l_select({"x", "y"}), QString("a4,b1 for alice,bob")); // alice's x is a group of three

        // The page's menu shows these entries at the click, and the user
        // menu after them when the rows are one user's.
        FakeUserMenu();
        auto const l_shown = [this] { return ShownMenu([this] { mp_page->OnDownloadsContextMenuRequested(QPoint(5, 5)); }); };
        l_select({"a1", "a3"});
        QCOMPARE(l_shown().value(1), QString("Retry downloads"));
        QCOMPARE(l_shown().mid(l_shown().size() - 1), QStringList({"user menu of alice"}));
        l_select({"alice", "b1"});
        QVERIFY(!l_shown().join(',').contains("user menu"));
        Upload("carol", "/srv/share", "x.png");
        Settle();
        Uploads()->topLevelItem(0)->setSelected(true);
        QCOMPARE(ShownMenu([this] { mp_page->OnUploadsContextMenuRequested(QPoint(5, 5)); }).last(),
                 QString("user menu of carol"));
        SetUserPageHooks(UserPageHooks());
    }

    void CompleteDownloadsOrder()
    {
        // December: its German short name ends in a dot, which the toolkit's
        // own text-date reader does not take.
        QDateTime const l_base(QDate(2024, 12, 4), QTime(10, 0, 0));
        auto const l_record = [](QString const& i_name, QString const& i_time) {
            Item const l_record = d["complete_download"]->NewItem();
            l_record += d["complete_download_filename"]->GetItem(Value(i_name));
            l_record += d["complete_download_file_size"]->GetItem(Value(2500000));
            l_record += d["complete_download_completion_time"]->GetItem(Value(i_time));
            return l_record;
        };
        auto const l_complete = [&l_record](QString const& i_name, QString const& i_time) {
            emit transferQueueManager->CompleteDownloadAdded(l_record(i_name, i_time));
        };
        // A download that finished before the tab was first opened is listed.
        l_record("at 2", l_base.addSecs(2).toString(Qt::TextDate));
        mp_page->OnActionBarTriggered(nullptr, "complete_downloads");
        QVERIFY(completeDownloadsForm);
        for (int l_second : {1, 5, 3})
            l_complete(QString("at %1").arg(l_second), l_base.addSecs(l_second).toString(Qt::TextDate));
        l_complete("unreadable", "sometime");
        l_complete("same second", l_base.addSecs(5).toString(Qt::TextDate));
        QStringList l_order;
        QTreeWidget* lp_list = completeDownloadsForm->List();
        for (int l_row = 0; l_row < lp_list->topLevelItemCount(); ++l_row)
            l_order << lp_list->topLevelItem(l_row)->text(0);
        QCOMPARE(l_order, QStringList({"unreadable", "same second", "at 5", "at 3", "at 2", "at 1"}));
        QCOMPARE(lp_list->topLevelItem(0)->text(3), QString("2500000"));
    }
};

QTEST_MAIN(TransfersPageTest)
#include "TransfersPageTest.moc"
