// The road of the wish list's searches through the stand-in server (a child
// process) to another user ("peer") played by hand on the server protocol,
// whose answers on a messaging connection to our peer listener the cases
// choose.

#include "SearchFixture.h"
#include "../../peers/PeerTestSupport.h"
#include "../../server/ServerTestHelpers.h"
#include "server/WishListSearcher.h"

#include <QCheckBox>
#include <QLineEdit>

class SearchRoadTest : public QObject, public SearchFixture
{
    Q_OBJECT

private:
    std::unique_ptr<StandinProcess> mp_standin;
    std::unique_ptr<WishListSearcher> mp_searcher;
    RawClient m_peer;
    std::unique_ptr<QTcpSocket> mp_peerLink;

    Ui_SearchForm* Ui() const { return mp_page->Form(); }

    // The next search the server relays to the peer: its token.
    quint32 RelayedSearch(QByteArray const& i_text)
    {
        QByteArray l_payload;
        if (!m_peer.mp_collector->Take(ServerCode::FILE_SEARCH, &l_payload))
            return 0;
        quint32 const l_token = qFromLittleEndian<quint32>(l_payload.constData() + 6);
        return l_payload == QByteArray::fromHex("02000000") + "me" + Le32(l_token) + Le32(quint32(i_text.size())) + i_text
                   ? l_token
                   : 0;
    }

    // The peer's answer: one file, with a free slot and 100 KiB/s; then a
    // request that the messenger answers with a signal, so that the answer
    // has been handled once it comes.
    void Answer(quint32 i_token, QByteArray const& i_path)
    {
        QByteArray const l_record = Le32(4) + "peer" + Le32(i_token) + Le32(1) + '\x01' + Le32(i_path.size()) + i_path +
                                    QByteArray::fromHex("00093d0000000000" "03000000") + "mp3" +
                                    QByteArray::fromHex("00000000" "01" "00900100" "00000000" "00000000");
        QByteArray l_compressed;
        QVERIFY(ZlibCompress(l_record.constData(), quint64(l_record.size()), l_compressed));
        QSignalSpy l_handled(mp_messenger.get(), &PeerMessenger::UserInfoRequested);
        mp_peerLink->write(PeerWire::BuildFrame(Le32(9) + l_compressed, false) + PeerWire::BuildFrame(Le32(15), false));
        QVERIFY(l_handled.wait(5000));
    }

    quint32 WishSearch()
    {
        mp_searcher->EveryFiveMinutes();
        return RelayedSearch("jazz");
    }

    SearchResultsForm* WishTab() const { return qobject_cast<SearchResultsForm*>(Ui()->wishListTabControl->widget(0)); }

private slots:
    void cleanupTestCase()
    {
        mp_peerLink.reset();
        mp_searcher.reset();
        StopPage();
        mp_standin.reset();
    }

    void WishListEndToEnd()
    {
        StartPage();
        mp_page->show();
        mp_standin = std::make_unique<StandinProcess>();
        QVERIFY(mp_standin->Start());
        PointAt(mp_standin->Port(), "me", "pw");
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        mp_searcher = std::make_unique<WishListSearcher>();
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        QVERIFY(l_connected.wait(5000));
        QVERIFY(m_peer.Login(mp_standin->Port(), "peer"));
        mp_peerLink = ConnectRaw(mp_messenger->ListeningPort());
        QVERIFY(mp_peerLink);
        mp_peerLink->write(HandshakeFrame("peer", "P"));
        QTRY_VERIFY(mp_messenger->OpenMessagingConnectionCount("peer") >= 1);

        Ui()->searchEdit->lineEdit()->setText(QStringLiteral("jazz"));
        mp_page->OnAddToWishListClicked();

        // The first answer opens a tab in the background, and announces it; later ones feed it.
        SetSwitch("show_event_buttons", true);
        Answer(WishSearch(), "jazz\\a.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Ui()->tabWidget->currentIndex(), 0);
        QVERIFY(d["event_toolbar_widget"]->HasItem(Value(WishTab())).IsValid());
        Answer(WishSearch(), "jazz\\b.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"a.mp3", "b.mp3"}));

        // Closed, the next answer opens a new tab; a disabled text opens none.
        mp_page->OnWishTabCloseRequested(0);
        quint32 const l_whileDisabled = WishSearch();
        QTreeWidgetItem* lp_row = Ui()->wishList->topLevelItem(0);
        qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(lp_row, 0))->setChecked(false);
        Answer(l_whileDisabled, "jazz\\c.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 0);
        qobject_cast<QCheckBox*>(Ui()->wishList->itemWidget(lp_row, 0))->setChecked(true);
        Answer(WishSearch(), "jazz\\d.mp3");
        QCOMPARE(Ui()->wishListTabControl->count(), 1);
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"d.mp3"}));

        // Repeated answers of a user who answered already are discarded.
        WishTab()->findChild<QCheckBox*>(QStringLiteral("discardRepeatedResultsBox"))->setChecked(true);
        Answer(WishSearch(), "jazz\\e.mp3");
        QCOMPARE(Column(WishTab()->searchResults(), 4), QStringList({"d.mp3"}));
    }
};

QTEST_MAIN(SearchRoadTest)
#include "SearchRoadTest.moc"
