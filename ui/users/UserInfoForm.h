#ifndef QUILLMAR_UI_USERS_USERINFOFORM_H
#define QUILLMAR_UI_USERS_USERINFOFORM_H

// One other user's information page: a tab of the users page's "User Info"
// tab (UserListForm::GetUserInfoForm opens it). It asks the user's client
// for his information and shows the reply, or a failure text when no
// messaging connection could be made. The reply is a peer's: its markup and
// picture are made safe by UserDescription, and its picture is decoded on a
// worker thread. Only the first reply to the request is shown.

#include <QFutureWatcher>
#include <QImage>
#include <QString>
#include <QWidget>

class Ui_UserInfoForm;
class QShowEvent;

class UserInfoForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserInfoForm(QWidget* ip_parent = nullptr);
    ~UserInfoForm() override;

    // Asks the user's client for his information (again, when called
    // again): the first reply is shown.
    void Init(QString const& i_user);
    QString User() const { return m_user; }
    bool IsWaiting() const { return m_waiting; }
    // Whether a reply would be shown: one was asked for and has not come.
    bool IsAsking() const { return m_asked; }
    Ui_UserInfoForm* Form() const { return mp_ui; }

public slots:
    void OnUserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                            int i_pictureBufferLength, int i_uploadSlots, int i_queuedUploads, bool i_freeUploadSlots);
    void OnConnectionToUserFailed(QString i_user, QString i_connectionType);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    struct Reply
    {
        QString m_description;
        bool m_hasPicture = false;
    };

    void OnPictureDecoded();
    void ShowReply(QImage const& i_picture);

    Ui_UserInfoForm* mp_ui;
    QString m_user;
    bool m_waiting = false;
    // From the request until its reply: a reply nobody asked for is dropped.
    bool m_asked = false;
    // The reply being shown while its picture is decoded.
    Reply m_reply;
    QFutureWatcher<QImage> m_decoding;
    bool m_pictureAwaited = false;
};

#endif
