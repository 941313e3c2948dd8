#include "ui/users/UserNoteDialog.h"

#include "ui_UserNoteDialog.h"

#include "server/StoreTypes.h"
#include "store/Data.h"
#include "transfers/TransferItems.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/OutsideText.h"

#include <QIcon>

namespace {

char const* const DIALOG_TYPE = "user_note_dialog";

Item UserNamed(QString const& i_user)
{
    return d["user"]->GetItem(Value(i_user));
}

} // namespace

void UserNoteDialog::Init()
{
    EnsureType(DIALOG_TYPE, ROOT, false, true);
    EnsureRelation(DIALOG_TYPE, "user", ONE, ONE, false);
}

UserNoteDialog* UserNoteDialog::GetDialog(QString const& i_user)
{
    Item const l_user = UserNamed(i_user);
    if (auto* lp_open = TransferItems::ObjectAt<UserNoteDialog>(l_user[DIALOG_TYPE])) {
        lp_open->activateWindow();
        return lp_open;
    }
    auto* lp_dialog = new UserNoteDialog(i_user, nullptr);
    l_user += d[DIALOG_TYPE]->GetItem(Value(lp_dialog));
    return lp_dialog;
}

UserNoteDialog::UserNoteDialog(QString const& i_user, QWidget* ip_parent)
    : QDialog(ip_parent), m_user(i_user), mp_ui(new Ui_UserNoteDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // As plain text: a note that reads like markup is kept as it was typed.
    Item const l_note = UserNamed(i_user)["user_note"];
    if (l_note.IsValid())
        mp_ui->noteEdit->setPlainText(l_note.AsString());
    setWindowIcon(QIcon(QStringLiteral(":/icons/note_icon")));
    setWindowTitle(LiteralWindowTitle(i_user));
    connect(mp_ui->saveButton, &QPushButton::clicked, this, &UserNoteDialog::OnSaveNote);
    connect(mp_ui->clearButton, &QPushButton::clicked, this, &UserNoteDialog::OnClearNote);
}

UserNoteDialog::~UserNoteDialog()
{
    if (!g_showIsOver && d.HasType(DIALOG_TYPE))
        d[DIALOG_TYPE]->HasItem(Value(this)).Remove();
    delete mp_ui;
}

void UserNoteDialog::OnSaveNote()
{
    QString const l_note = mp_ui->noteEdit->toPlainText().trimmed();
    Item const l_user = UserNamed(m_user);
    Item const l_old = l_user["user_note"];
    if (l_note.isEmpty())
        l_user.Disconnect("user_note");
    else
        l_user += d["user_note"]->GetItem(Value(l_note));
    // Notes are roots that keep their users: one that no user holds any
    // more would stay, and be saved, for good.
    if (l_old.IsValid() && l_old.CountItems("user") == 0)
        l_old.Remove();
    accept();
}

void UserNoteDialog::OnClearNote()
{
    mp_ui->noteEdit->clear();
}
