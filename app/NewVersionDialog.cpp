#include "app/NewVersionDialog.h"

#include "ui/widgets/Globals.h"
#include "app/MainWindow.h"
#include "store/Settings.h"
#include "ui_NewVersionDialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTextCursor>
#include <QUrl>

NewVersionDialog::NewVersionDialog(qint64 i_version, QString const& i_downloadLink,
                                   QStringList const& i_description, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_NewVersionDialog), m_version(i_version), m_downloadLink(i_downloadLink)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("QuillmarQt Update"));
    mp_ui->currentVersionEdit->setText(BuildText(g_currentVersion));
    mp_ui->newVersionEdit->setText(BuildText(i_version));
    // The notes come from the web host: inserted as plain text, one
    // paragraph each, never read as markup.
    mp_ui->descriptionEdit->setUpdatesEnabled(false);
    QTextCursor l_cursor(mp_ui->descriptionEdit->document());
    for (int l_index = 0; l_index < i_description.size(); ++l_index) {
        if (l_index > 0)
            l_cursor.insertBlock();
        l_cursor.insertText(i_description[l_index]);
    }
    mp_ui->descriptionEdit->moveCursor(QTextCursor::Start);
    mp_ui->descriptionEdit->ensureCursorVisible();
    mp_ui->descriptionEdit->setUpdatesEnabled(true);
    connect(mp_ui->skipButton, &QPushButton::clicked, this, &NewVersionDialog::OnSkipButtonClicked);
    connect(mp_ui->downloadButton, &QPushButton::clicked, this, &NewVersionDialog::OnDownloadButtonClicked);
}

NewVersionDialog::~NewVersionDialog()
{
    delete mp_ui;
}

QString NewVersionDialog::BuildText(qint64 i_version)
{
    return QStringLiteral("Build %1/%2/%3").arg(i_version % 10000 / 100).arg(i_version % 100).arg(i_version / 10000);
}

void NewVersionDialog::OnSkipButtonClicked()
{
    SetSetting("skip_version", m_version);
    close();
}

void NewVersionDialog::OnDownloadButtonClicked()
{
    // The address comes from the web host: only a web page is opened, never
    // a local file or another program's scheme.
    QUrl const l_url(m_downloadLink);
    QString const l_scheme = l_url.scheme().toLower();
    if (l_url.isValid() && (l_scheme == QLatin1String("http") || l_scheme == QLatin1String("https")))
        QDesktopServices::openUrl(l_url);
    // Nothing is lost: the data is saved now, and the program then ends in
    // its usual order.
    if (mainWindow)
        mainWindow->SaveData();
    close();
    QCoreApplication::exit(0);
}
