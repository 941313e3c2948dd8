#ifndef QUILLMAR_TESTS_UI_USERS_USERSFIXTURE_H
#define QUILLMAR_TESTS_UI_USERS_USERSFIXTURE_H

// The users page over a fresh store, with the managers it talks to, loaded
// as the main window loads it; and what its tests read of it.

#include "../MenuTexts.h"
#include "../PageManagers.h"
#include "../../peers/PeerTestSupport.h"
#include "../../server/ServerTestHelpers.h"

#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"
#include "ui_UserListForm.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>

class UsersFixture : public PageManagers
{
protected:
    void StartPage()
    {
        StartManagers();
        // The shell's note type.
        DeclareUserNoteType();
        mp_page = std::make_unique<UserListForm>();
        mp_page->Init();
        UserNoteDialog::Init();
        mp_page->DataLoaded();
    }

    void StopPage()
    {
        // Dialogs made without a parent outlive the page.
        QList<QPointer<QDialog>> l_dialogs;
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            if (auto* lp_dialog = qobject_cast<QDialog*>(lp_window))
                l_dialogs << lp_dialog;
        for (QPointer<QDialog> const& lp_dialog : l_dialogs)
            delete lp_dialog.data();
        mp_fake.reset();
        mp_page.reset();
        StopManagers();
    }

    // The page's server link logged in to an in-test server that records
    // what it is sent.
    bool LogInToFake()
    {
        mp_fake = std::make_unique<FakeServer>();
        PointAt(mp_fake->Port(), "me", "pw");
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        return mp_fake->AnswerLogin() && (l_connected.count() == 1 || l_connected.wait(WAIT_MS));
    }
    // Whether the link sent that request (waiting a moment for it).
    bool WasSent(quint32 i_code, QByteArray const& i_payload, int i_timeout = WAIT_MS)
    {
        std::pair<quint32, QByteArray> const l_frame(i_code, i_payload);
        std::vector<std::pair<quint32, QByteArray>> const& l_frames = mp_fake->mp_collector->m_frames;
        return WaitUntil([&] { return std::count(l_frames.begin(), l_frames.end(), l_frame) > 0; }, i_timeout);
    }

    static Item U(QString const& i_name) { return d["user"]->GetItem(Value(i_name)); }
    static void List(QString const& i_name) { U(i_name).NewItem("in_user_list"); }

    // The texts of a column, top to bottom.
    static QStringList Column(QTreeWidget* ip_tree, int i_column = 0)
    {
        QStringList l_texts;
        for (int l_row = 0; l_row < ip_tree->topLevelItemCount(); ++l_row)
            l_texts << ip_tree->topLevelItem(l_row)->text(i_column);
        return l_texts;
    }
    // The row of the user, or null.
    static QTreeWidgetItem* Row(QTreeWidget* ip_tree, QString const& i_user)
    {
        QList<QTreeWidgetItem*> const l_rows = ip_tree->findItems(i_user, Qt::MatchExactly);
        return l_rows.value(0);
    }
    // The icon of the cell, by its resource name ("online_icon"), or "".
    static QString IconOf(QTreeWidgetItem* ip_row, int i_column = 0)
    {
        QImage const l_shown = ip_row->icon(i_column).pixmap(16).toImage();
        for (char const* lp_name : {"online_icon", "offline_icon", "note_icon"})
            if (!l_shown.isNull() && l_shown == QIcon(QString(":/icons/") + lp_name).pixmap(16).toImage())
                return lp_name;
        return QString();
    }

    // Runs i_action, which opens a modal box, and answers the box with the
    // button of that text.
    static void AnswerModal(QString const& i_button, std::function<void()> const& i_action)
    {
        QTimer::singleShot(0, [i_button] {
            QWidget* lp_box = QApplication::activeModalWidget();
            for (QAbstractButton* lp_button : lp_box ? lp_box->findChildren<QAbstractButton*>() : QList<QAbstractButton*>())
                if (lp_button->text().remove('&') == i_button)
                    return lp_button->click();
        });
        i_action();
    }

    template <class Dialog>
    static Dialog* OpenDialog()
    {
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            if (auto* lp_dialog = qobject_cast<Dialog*>(lp_window); lp_dialog && lp_dialog->isVisible())
                return lp_dialog;
        return nullptr;
    }

    Ui_UserListForm* Ui() const { return mp_page->Form(); }

    std::unique_ptr<UserListForm> mp_page;
    std::unique_ptr<FakeServer> mp_fake;
};

#endif
