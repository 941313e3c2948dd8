#include "ui/users/UserInfoForm.h"

#include "ui/users/UserDescription.h"
#include "ui/users/UserInfoView.h"
#include "ui_UserInfoForm.h"

#include "peers/PeerMessenger.h"
#include "ui/widgets/EventToolBar.h"

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
    m_asked = true;
    mp_ui->userInfoText->Show(QStringLiteral("Requesting..."), QImage());
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &UserInfoForm::OnConnectionToUserFailed,
                Qt::UniqueConnection);
}

void UserInfoForm::OnUserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                                      int i_pictureBufferLength, int i_uploadSlots, int i_queuedUploads,
                                      bool i_freeUploadSlots)
{
    // Every page hears every reply; a page takes the first reply to its
    // request, and a peer that sends more is not heard: each would cost the
    // window a new layout.
    if (i_user != m_user || !m_asked)
        return;
    m_asked = false;
    m_waiting = false;
    mp_ui->uploadSlotsEdit->setText(QString::number(i_uploadSlots));
    mp_ui->queuedUploadsEdit->setText(QString::number(i_queuedUploads));
    mp_ui->freeToUploadEdit->setText(i_freeUploadSlots ? QStringLiteral("Yes") : QStringLiteral("No"));

    m_reply = Reply{i_description, i_hasPicture};
    // The buffer is the messenger's, valid only during this call.
    if (!i_hasPicture || !ip_pictureBuffer || i_pictureBufferLength <= 0)
        return ShowReply(QImage());
    m_pictureAwaited = true;
    m_decoding.setFuture(
        QtConcurrent::run(&UserDescription::DecodePicture, QByteArray(ip_pictureBuffer, i_pictureBufferLength)));
}

void UserInfoForm::OnPictureDecoded()
{
    // The picture of a reply that a later one (asked for anew) has replaced
    // is not shown.
    if (m_pictureAwaited)
        ShowReply(m_decoding.result());
}

void UserInfoForm::ShowReply(QImage const& i_picture)
{
    mp_ui->userInfoText->Show(UserDescription::PageHtml(m_reply.m_description, m_reply.m_hasPicture, !i_picture.isNull()),
                              i_picture);
    m_reply = Reply();
    m_pictureAwaited = false;
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
