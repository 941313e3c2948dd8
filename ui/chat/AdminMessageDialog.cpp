#include "ui/chat/AdminMessageDialog.h"

#include "ui/widgets/OutsideMarkup.h"
#include "ui_AdminMessageDialog.h"

#include <QDateTime>

AdminMessageDialog::AdminMessageDialog(QString const& i_text, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_AdminMessageDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    OutsideMarkup::SealView(mp_ui->textEdit);
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(SHOW_INTERVAL_MS);
    connect(&m_showTimer, &QTimer::timeout, this, &AdminMessageDialog::ShowNewest);
    connect(mp_ui->messageBox, QOverload<int>::of(&QComboBox::activated), this, &AdminMessageDialog::ShowMessage);
    mp_ui->messageBox->hide();
    AddMessage(i_text);
    ShowNewest();
}

AdminMessageDialog::~AdminMessageDialog()
{
    delete mp_ui;
}

void AdminMessageDialog::AddMessage(QString const& i_text)
{
    ++m_received;
    QString const l_time = QDateTime::currentDateTime().toString(QStringLiteral("MMM d h:mm:ss ap"));
    m_messages.push_front({i_text, l_time});
    mp_ui->messageBox->insertItem(0, QStringLiteral("%1. %2").arg(m_received).arg(l_time));
    if (int(m_messages.size()) > KEPT_MESSAGES) {
        m_messages.pop_back();
        mp_ui->messageBox->removeItem(KEPT_MESSAGES);
    }
    mp_ui->messageBox->setCurrentIndex(0);
    mp_ui->messageBox->setVisible(m_received > 1);
    if (!m_showTimer.isActive())
        m_showTimer.start();
}

void AdminMessageDialog::ShowNewest()
{
    m_showTimer.stop();
    ShowMessage(0);
}

void AdminMessageDialog::ShowMessage(int i_index)
{
    if (i_index < 0 || i_index >= int(m_messages.size()))
        return;
    Message const& l_message = m_messages[std::size_t(i_index)];
    mp_ui->messageBox->setCurrentIndex(i_index);
    mp_ui->textEdit->setHtml(OutsideMarkup::SafeHtml(l_message.m_text));
    mp_ui->timeEdit->setText(l_message.m_time);
}
