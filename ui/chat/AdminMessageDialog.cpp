#include "ui/chat/AdminMessageDialog.h"

#include "ui_AdminMessageDialog.h"

#include <QDateTime>
#include <QTextDocument>

namespace {

// A document that loads nothing a text names: the default one reads local
// files and resources named by an image or a link to a style sheet.
class NoResourceDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int, QUrl const&) override { return QVariant(); }
};

} // namespace

AdminMessageDialog::AdminMessageDialog(QString const& i_text, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_AdminMessageDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    mp_ui->textEdit->setDocument(new NoResourceDocument(mp_ui->textEdit));
    mp_ui->textEdit->setText(i_text);
    mp_ui->timeEdit->setText(QDateTime::currentDateTime().toString(QStringLiteral("MMM d h:mm:ss ap")));
}

AdminMessageDialog::~AdminMessageDialog()
{
    delete mp_ui;
}
