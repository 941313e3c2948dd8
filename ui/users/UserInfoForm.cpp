#include "ui/users/UserInfoForm.h"

#include "ui/users/UserDescription.h"
#include "ui/users/UserInfoView.h"
#include "ui_UserInfoForm.h"

#include "peers/PeerMessenger.h"
#include "ui/widgets/EventToolBar.h"

#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

UserInfoForm::UserInfoForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_UserInfoForm)
{
    mp_ui->setupUi(this);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserInfoReceived, this, &UserInfoForm::OnUserInfoReceived);
    connect(&m_decoding, &QFutureWatcher<QImage>::finished, this, &UserInfoForm::OnPictureDecoded);
}

UserInfoForm::~UserInfoForm()
{
    delete mp_ui;
}

void UserInfoForm::Init(QString const& i_user)
{
    m_user = i_user;
    if (peerMessenger)
        peerMessenger->GetUserInfo(i_user);
    m_waiting = true;
    mp_ui->userInfoText->Show(QStringLiteral("Requesting..."), QImage());
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &UserInfoForm::OnConnectionToUserFailed);
}

void UserInfoForm::OnUserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                                      int i_pictureBufferLength, int i_uploadSlots, int i_queuedUploads,
                                      bool i_freeUploadSlots)
{
    // Every page hears every reply.
    if (i_user != m_user)
        return;
    m_waiting = false;
    mp_ui->uploadSlotsEdit->setText(QString::number(i_uploadSlots));
    mp_ui->queuedUploadsEdit->setText(QString::number(i_queuedUploads));
    mp_ui->freeToUploadEdit->setText(i_freeUploadSlots ? QStringLiteral("Yes") : QStringLiteral("No"));

    Reply l_reply{i_description, i_hasPicture, QByteArray()};
    // The buffer is the messenger's, valid only during this call.
    if (i_hasPicture && ip_pictureBuffer && i_pictureBufferLength > 0)
        l_reply.m_picture = QByteArray(ip_pictureBuffer, i_pictureBufferLength);
    // Replies that come together are shown once, the last of them.
    m_next = std::move(l_reply);
    if (!m_decoding.isRunning() && !m_showScheduled) {
        m_showScheduled = true;
        QTimer::singleShot(0, this, &UserInfoForm::ShowNext);
    }
}

void UserInfoForm::ShowNext()
{
    m_showScheduled = false;
    if (!m_next)
        return;
    Reply l_reply = std::move(*m_next);
    m_next.reset();
    if (l_reply.m_picture.isEmpty())
        return ShowReply(l_reply, QImage());
    m_decoded = std::move(l_reply);
    m_decoding.setFuture(QtConcurrent::run(&UserDescription::DecodePicture, m_decoded->m_picture));
}

void UserInfoForm::OnPictureDecoded()
{
    // A reply that came while the picture was decoded is newer: it is shown
    // instead.
    if (m_decoded && !m_next)
        ShowReply(*m_decoded, m_decoding.result());
    m_decoded.reset();
    ShowNext();
}

void UserInfoForm::ShowReply(Reply const& i_reply, QImage const& i_picture)
{
    mp_ui->userInfoText->Show(
        UserDescription::PageHtml(i_reply.m_description, i_reply.m_hasPicture, !i_picture.isNull()), i_picture);
    if (eventToolBar)
        eventToolBar->AddEvent(m_user, QStringLiteral(":/icons/info_icon"), this, QString(), QStringLiteral("user_info"),
                               false);
}

void UserInfoForm::OnConnectionToUserFailed(QString i_user, QString i_connectionType)
{
    if (!m_waiting || i_user != m_user || i_connectionType != QLatin1String("P"))
        return;
    m_waiting = false;
    mp_ui->userInfoText->setPlainText(QStringLiteral("A connection could not be successfully formed to the user."));
    if (eventToolBar)
        eventToolBar->AddEvent(m_user, QStringLiteral(":/icons/info_icon"), this, QString(), QString(), false);
}

void UserInfoForm::showEvent(QShowEvent* ip_event)
{
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
    QWidget::showEvent(ip_event);
}
