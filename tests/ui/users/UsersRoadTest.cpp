// The users page on the network: through the stand-in server (a child
// process) to second users played by hand, on the server protocol and on a
// messaging connection to our peer listener.

#include "UsersFixture.h"
#include "../StandinLogIn.h"

#include "ui/users/AddUserDialog.h"
#include "ui/users/MessageUsersDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserMenuOptions.h"
#include "ui_AddUserDialog.h"
#include "ui_MessageUsersDialog.h"
#include "ui_UserInfoForm.h"

#include "ui/widgets/EventToolBar.h"

#include <QBuffer>
#include <QTextDocument>

class UsersRoadTest : public QObject, public UsersFixture
{
    Q_OBJECT

    std::unique_ptr<StandinProcess> mp_standin;

    bool LogIn()
    {
        mp_standin = std::make_unique<StandinProcess>();
        return LogInToStandin(*mp_standin, *mp_server, *mp_messenger, "me");
    }

    static QString Add(AddUserDialog& io_dialog, QString const& i_name)
    {
        io_dialog.Form()->userNameEdit->setText(i_name);
        io_dialog.OnAddUserClicked();
        bool const l_answered =
            WaitUntil([&io_dialog] { return io_dialog.Form()->addFriendButton->isEnabled(); });
        return l_answered ? io_dialog.Form()->statusEdit->text() : QString("<no answer>");
    }

    // The next message of that code on a raw peer connection, framed as
    // it came (length first).
    static QByteArray NextMessage(QTcpSocket& io_link, quint32 i_code)
    {
        QByteArray l_payload;
        while (AwaitFrame(io_link, l_payload))
            if (l_payload.startsWith(Le32(i_code)))
                return Le32(quint32(l_payload.size())) + l_payload;
        return QByteArray();
    }

private slots:
    void init() { StartPage(); }
    void cleanup()
    {
        StopPage();
        mp_standin.reset();
    }

    void AddingWatchingAndMessaging()
    {
        AddUserDialog l_dialog;
        QCOMPARE(Add(l_dialog, "peer"), QString("Must be online to add a user to your list."));
        QVERIFY(LogIn());
        RawClient l_peer;
        QVERIFY(l_peer.Login(mp_standin->Port(), "peer"));
        MemStream l_shares;
        l_shares.WriteI32(2);
        l_shares.WriteI32(1234);
        l_peer.Send(ServerCode::SHARED_FOLDERS_FILES, l_shares);
        mp_standin->Command("speed peer 1536");

        // Added by name once the server knows it; online, with his figures.
        QCOMPARE(Add(l_dialog, "nobody"), QString("User name does not exist."));
        QCOMPARE(Add(l_dialog, " peer "), QString("User added to list."));
        QTreeWidgetItem* lp_row = Row(Ui()->userList, "peer");
        QVERIFY(lp_row);
        QTRY_COMPARE(lp_row->text(1) + "|" + lp_row->text(2), QString("1,234|1.5"));
        QCOMPARE(IconOf(lp_row), QString("online_icon"));
        QCOMPARE(Add(l_dialog, "peer"), QString("User already in list."));

        // An alert for a user who is not there yet rings when he logs in.
        SetSwitch("show_event_buttons", true);
        QSignalSpy l_watched(mp_server.get(), &Server::AddUserResponse);
        QMenu l_menu;
        UserMenuOptions(&l_menu, "late").OnAddRemoveOnlineAlert();
        QVERIFY(l_watched.wait(WAIT_MS));
        RawClient l_late;
        QVERIFY(l_late.Login(mp_standin->Port(), "late"));
        QTRY_COMPARE(IconOf(Row(Ui()->onlineAlertList, "late")), QString("online_icon"));
        QVERIFY(d["event_toolbar_widget"]->HasItem(Value(Ui()->onlineAlertList)).IsValid());
        l_late.m_socket.disconnectFromHost();
        QTRY_COMPARE(IconOf(Row(Ui()->onlineAlertList, "late")), QString("offline_icon"));

        // One message to a group of the list reaches its members.
        d["user_list_group"]->GetItem(Value("friends")).Connect(U("peer")["in_user_list"]);
        mp_page->OnActionBarTriggered(nullptr, "message_users");
        messageUsersDialog->Form()->targetBox->setCurrentIndex(2);
        messageUsersDialog->Form()->messageEdit->setPlainText("hi\nall");
        messageUsersDialog->Form()->sendButton->click();
        QByteArray l_chat;
        QVERIFY(l_peer.mp_collector->Take(ServerCode::PRIVATE_CHAT, &l_chat));
        QCOMPARE(l_chat.mid(8), Le32(2) + "me" + Le32(6) + "hi all" + '\x01');
    }

    // His information on a page, ours to him byte for byte, both over the
    // messaging connection he opened to us.
    void InformationBothWays()
    {
        QVERIFY(LogIn());
        RawClient l_peer;
        QVERIFY(l_peer.Login(mp_standin->Port(), "peer"));
        std::unique_ptr<QTcpSocket> lp_link = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(lp_link);
        lp_link->write(HandshakeFrame("peer", "P"));
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("peer") >= 1);

        SetSetting("user_description", "a\nb");
        SetSetting("upload_slots", qint64(2));
        Item const l_queued = d["upload_entry_status"]->GetItem(Value("queued"));
        for (int l_upload = 0; l_upload < 5; ++l_upload)
            d["upload_entry"]->NewItem() += l_queued;
        lp_link->write(PeerWire::BuildFrame(Le32(15), false));
        QCOMPARE(NextMessage(*lp_link, 16), H("16000000 10000000 04000000") + "a\r\nb" + H("00 02000000 05000000 01"));

        UserInfoForm* lp_page = mp_page->GetUserInfoForm("peer");
        QVERIFY(!NextMessage(*lp_link, 15).isEmpty());
        QImage l_picture(1600, 400, QImage::Format_RGB32);
        l_picture.fill(Qt::darkGreen);
        QByteArray l_png;
        QBuffer l_buffer(&l_png);
        l_buffer.open(QIODevice::WriteOnly);
        l_picture.save(&l_buffer, "PNG");
        QByteArray const l_description = "<b>Hello</b>\n<img src=\"/etc/hostname\">";
        lp_link->write(PeerWire::BuildFrame(Le32(16) + Le32(quint32(l_description.size())) + l_description + H("01") +
                                                Le32(quint32(l_png.size())) + l_png + H("03000000 04000000 00"),
                                            false));
        QTRY_COMPARE(lp_page->Form()->uploadSlotsEdit->text(), QString("3"));
        QTRY_VERIFY(lp_page->Form()->userInfoText->toPlainText().contains("Hello"));
        QCOMPARE(lp_page->Form()->queuedUploadsEdit->text() + lp_page->Form()->freeToUploadEdit->text(),
                 QString("4No"));
        QVERIFY(lp_page->Form()->userInfoText->toPlainText().endsWith("Hello\n<img src=\"/etc/hostname\">"));
        QCOMPARE(lp_page->Form()
                     ->userInfoText->document()
                     ->resource(QTextDocument::ImageResource, QUrl("UserImage"))
                     .value<QImage>()
                     .size(),
                 QSize(800, 200));
    }
};

QTEST_MAIN(UsersRoadTest)
#include "UsersRoadTest.moc"
