#include "tests/app/ShellTestSupport.h"

#include "app/NewVersionDialog.h"
#include "server/dialogs/ChangeListeningPortDialog.h"
#include "server/dialogs/ChangeUsernamePasswordDialog.h"
#include "store/windows/DataDialog.h"
#include "store/windows/ItemLogDialog.h"
#include "ui/chat/AdminMessageDialog.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ColorSelectionDialog.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RoomWallForm.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/ReceivedSearchesForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/transfers/AddSharedFolderDialog.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/ExcludedExtensionsDialog.h"
#include "ui/transfers/ShareForm.h"
#include "ui/transfers/SharedFilesRescannedDialog.h"
#include "ui/transfers/UploadForm.h"
#include "ui/users/AddUserDialog.h"
#include "ui/users/GiftPrivilegesDialog.h"
#include "ui/users/MessageUsersDialog.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserNoteDialog.h"
#include "ui_AdminMessageDialog.h"
#include "ui_MainWindow.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleFactory>
#include <QTabWidget>

#include <functional>

using MakeForm = std::function<QWidget*()>;
Q_DECLARE_METATYPE(MakeForm)

// Every dialog and page at the size it opens at, in the program's style and
// the desktop's font: no text of the program's own may be cut.
class FormTextsTest : public QObject
{
    Q_OBJECT

    // What a text needs: its own width, and the height of its letters,
    // within the margins the style gives the widget's kind. A push button's
    // style also has a least width of its own, which is no need of the
    // text: its text needs its width and a little air on each side.
    static QSize Needed(QWidget* ip_widget, QString& o_text)
    {
        QFontMetrics const l_metrics = ip_widget->fontMetrics();
        auto const l_letters = [&l_metrics](QString const& i_text) {
            return l_metrics.tightBoundingRect(i_text).height();
        };
        if (auto* lp_label = qobject_cast<QLabel*>(ip_widget)) {
            o_text = lp_label->text();
            if (lp_label->wordWrap())
                return QSize(0, lp_label->heightForWidth(lp_label->width()));
            return QSize(lp_label->sizeHint().width(), l_letters(o_text));
        }
        if (auto* lp_button = qobject_cast<QPushButton*>(ip_widget)) {
            o_text = lp_button->text();
            QString const l_shown = QString(o_text).remove('&');
            int const l_icon = lp_button->icon().isNull() ? 0 : lp_button->iconSize().width() + 4;
            int const l_frame = lp_button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, lp_button);
            return QSize(l_metrics.horizontalAdvance(l_shown) + l_icon + 2 * (l_frame + 2), l_letters(l_shown));
        }
        if (auto* lp_button = qobject_cast<QAbstractButton*>(ip_widget)) {
            o_text = lp_button->text();
            return QSize(lp_button->sizeHint().width(), l_letters(o_text));
        }
        // A field a dialog fills for reading (an editable one scrolls, and
        // the pages' fields show the user's own values, a download folder
        // of any length).
        if (auto* lp_edit = qobject_cast<QLineEdit*>(ip_widget);
            lp_edit && lp_edit->isReadOnly() && qobject_cast<QDialog*>(lp_edit->window())) {
            o_text = lp_edit->text();
            int const l_frame = lp_edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, lp_edit);
            return QSize(l_metrics.horizontalAdvance(o_text) + 2 * (l_frame + 2) + 1, l_letters(o_text));
        }
        if (auto* lp_box = qobject_cast<QGroupBox*>(ip_widget)) {
            o_text = lp_box->title();
            return QSize(l_metrics.horizontalAdvance(o_text), l_letters(o_text));
        }
        return QSize();
    }

    // The texts of the window that do not fit the room they are given.
    static QStringList CutTexts(QWidget* ip_window)
    {
        QStringList l_cut;
        for (QWidget* lp_widget : ip_window->findChildren<QWidget*>()) {
            QString l_text;
            QSize const l_needed = Needed(lp_widget, l_text);
            if (l_text.isEmpty() || !lp_widget->isVisibleTo(ip_window))
                continue;
            if (lp_widget->width() < l_needed.width() || lp_widget->height() < l_needed.height())
                l_cut << QString("%1 \"%2\" (%3x%4, needs %5x%6)")
                             .arg(lp_widget->objectName(), l_text)
                             .arg(lp_widget->width())
                             .arg(lp_widget->height())
                             .arg(l_needed.width())
                             .arg(l_needed.height());
        }
        return l_cut;
    }

    // A picture of each form for a person to look at, when asked for.
    static void Shoot(QWidget* ip_window, QString const& i_name)
    {
        QString const l_dir = qEnvironmentVariable("QUILLMAR_FORM_SHOTS");
        if (!l_dir.isEmpty())
            ip_window->grab().save(l_dir + "/" + QString(i_name).replace(QLatin1Char('/'), QLatin1Char('_')) + ".png");
    }

    static QStringList Shown(QWidget* ip_window, QString const& i_name)
    {
        ip_window->show();
        QCoreApplication::processEvents();
        Shoot(ip_window, i_name);
        return CutTexts(ip_window);
    }

    MainWindow* mp_window = nullptr;
    StandinProcess m_server;

private slots:
    void initTestCase()
    {
        if (QStyle* lp_style = QStyleFactory::create(QStringLiteral("Plastique")))
            QApplication::setStyle(lp_style);
        QVERIFY(m_server.Start());
        SeedDataFile([]() {
            SetSetting("username", QStringLiteral("reader"));
            SetSetting("show_diagnostics", QStringLiteral("yes"));
        });
        mp_window = StartWindow(m_server.Port());
    }

    void cleanupTestCase() { delete mp_window; }

    // Dialogs, and the pages that open in tabs, each on its own at the size
    // its form gives it.
    void Forms_data()
    {
        QTest::addColumn<MakeForm>("make");
        using Make = MakeForm;
        QTest::newRow("AddSharedFolderDialog") << Make([] { return new AddSharedFolderDialog(Item()); });
        QTest::newRow("AddUserDialog") << Make([] { return new AddUserDialog; });
        QTest::newRow("ChangeListeningPortDialog") << Make([] { return new ChangeListeningPortDialog(43721, 41645); });
        QTest::newRow("ChangeUsernamePasswordDialog")
            << Make([] { return new ChangeUsernamePasswordDialog(true); });
        QTest::newRow("ColorSelectionDialog") << Make([] { return new ColorSelectionDialog; });
        QTest::newRow("CreateRoomDialog") << Make([] { return new CreateRoomDialog; });
        QTest::newRow("ExcludedExtensionsDialog") << Make([] { return new ExcludedExtensionsDialog; });
        QTest::newRow("FilterHelpDialog") << Make([] { return new FilterHelpDialog; });
        QTest::newRow("GiftPrivilegesDialog") << Make([] { return new GiftPrivilegesDialog("friend"); });
        QTest::newRow("MessageUsersDialog") << Make([] { return new MessageUsersDialog; });
        QTest::newRow("NewVersionDialog")
            << Make([] { return new NewVersionDialog(20991231, "http://localhost/", {"news"}); });
        QTest::newRow("SharedFilesRescannedDialog") << Make([] { return new SharedFilesRescannedDialog; });
        QTest::newRow("UserGroupConfigDialog") << Make([] { return new UserGroupConfigDialog; });
        QTest::newRow("UserGroupsDialog") << Make([] { return new UserGroupsDialog("friend"); });
        QTest::newRow("UserNoteDialog") << Make([] { return new UserNoteDialog("friend"); });
        QTest::newRow("ChatForm") << Make([] { return new ChatForm("friend", nullptr); });
        QTest::newRow("ChatLogForm") << Make([] { return new ChatLogForm(QDir::home().filePath("none.log")); });
        QTest::newRow("RoomForm") << Make([] { return new RoomForm("lobby"); });
        QTest::newRow("RoomWallForm") << Make([] { return new RoomWallForm("lobby"); });
        // The filter's button reads "Remove Filter" while a saved filter is chosen.
        QTest::newRow("SearchResultsForm") << Make([] {
            auto* lp_form = new SearchResultsForm(77);
            lp_form->findChild<QPushButton*>("saveFilterButton")->setText("Remove Filter");
            return lp_form;
        });
        QTest::newRow("ReceivedSearchesForm") << Make([] { return new ReceivedSearchesForm; });
        QTest::newRow("CompleteDownloadsForm") << Make([] { return new CompleteDownloadsForm; });
        QTest::newRow("ShareForm") << Make([] { return new ShareForm("friend"); });
        QTest::newRow("UploadForm") << Make([] { return new UploadForm("friend"); });
        QTest::newRow("UserInfoForm") << Make([] { return new UserInfoForm; });
        QTest::newRow("DataDialog") << Make([] { return new DataDialog(&d); });
        QTest::newRow("ItemLogDialog") << Make([] { return new ItemLogDialog(d["user"]->GetItem(Value("friend"))); });
        // The widest time of day the dialog writes, and the list of earlier
        // messages beside it from the second message on.
        QTest::newRow("AdminMessageDialog") << Make([] {
            auto* lp_dialog = new AdminMessageDialog("Maintenance at noon.");
            lp_dialog->AddMessage("Back again.");
            lp_dialog->Form()->timeEdit->setText("May 28 12:58:58 pm");
            return lp_dialog;
        });
    }

    void Forms()
    {
        QFETCH(MakeForm, make);
        QWidget* lp_form = make();
        lp_form->setAttribute(Qt::WA_DeleteOnClose, false);
        QStringList const l_cut = Shown(lp_form, QTest::currentDataTag());
        if (auto* lp_share = qobject_cast<ShareForm*>(lp_form))
            lp_share->Delete();
        if (auto* lp_upload = qobject_cast<UploadForm*>(lp_form))
            lp_upload->Delete();
        delete lp_form;
        QCOMPARE(l_cut.join("; "), QString());
    }

    // The main window at its first size, each page and option page shown
    // in turn.
    void Pages()
    {
        QStringList l_cut;
        QTabWidget* lp_tabs = mp_window->Form()->tabControl;
        QTabWidget* lp_options = mp_window->Form()->optionsTabControl;
        for (int l_tab = 0; l_tab < lp_tabs->count(); ++l_tab) {
            lp_tabs->setCurrentIndex(l_tab);
            bool const l_isOptions = lp_tabs->widget(l_tab) == mp_window->Form()->optionsTab;
            for (int l_page = 0; l_page < (l_isOptions ? lp_options->count() : 1); ++l_page) {
                if (l_isOptions)
                    lp_options->setCurrentIndex(l_page);
                QString const l_name = lp_tabs->tabText(l_tab) + (l_isOptions ? "-" + lp_options->tabText(l_page) : "");
                for (QString const& l_text : Shown(mp_window, l_name))
                    if (!l_cut.contains(l_text))
                        l_cut << l_name + ": " + l_text;
            }
        }
        QCOMPARE(l_cut.join("; "), QString());
    }
};

QTEST_MAIN(FormTextsTest)
#include "FormTextsTest.moc"
