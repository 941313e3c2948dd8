// The download and upload context menus (their entries and what each does,
// with the paths they may open), the entries a right click collects, and the
// completed-downloads tab. Run under the C locale and again under de_DE,
// whose day and month names the stored completion times then carry.

#include "TransfersPageFixture.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/DownloadMenuOptions.h"
#include "ui/transfers/UploadMenuOptions.h"

#include <QDesktopServices>
#include <QMenu>

class TransferMenusTest : public QObject, public PageFixture
{
    Q_OBJECT

public slots:
    void OnUrlOpened(QUrl const& i_url) { m_opened << i_url.toLocalFile(); }

private:
    QStringList m_opened;
    std::unique_ptr<SearchForm> mp_search;

    // "-" for a separator, a submenu as "title[entry,entry]".
    static QStringList Texts(QMenu const& i_menu)
    {
        QStringList l_texts;
        for (QAction* lp_action : i_menu.actions()) {
            if (lp_action->isSeparator())
                l_texts << "-";
            else if (lp_action->menu())
                l_texts << lp_action->text() + "[" + Texts(*lp_action->menu()).join(',') + "]";
            else
                l_texts << lp_action->text();
        }
        return l_texts;
    }

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

private slots:
    void init()
    {
        StartPage();
        mp_search = std::make_unique<SearchForm>();
        mp_search->Init();
        LoadPage();
        m_opened.clear();
        QDesktopServices::setUrlHandler("file", this, "OnUrlOpened");
    }

    void cleanup()
    {
        QDesktopServices::unsetUrlHandler("file");
        mp_search.reset();
        StopPage();
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

        // The page's menu shows these entries at the click.
        l_select({"a1", "a3"});
        QStringList l_shown;
        QTimer::singleShot(0, this, [&l_shown] {
            auto* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            l_shown = lp_menu ? Texts(*lp_menu) : QStringList("none");
            if (lp_menu)
                lp_menu->close();
        });
        mp_page->OnDownloadsContextMenuRequested(QPoint(5, 5));
        QCOMPARE(l_shown.value(1), QString("Retry downloads"));
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

QTEST_MAIN(TransferMenusTest)
#include "TransferMenusTest.moc"
