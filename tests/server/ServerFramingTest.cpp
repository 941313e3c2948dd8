// Cutting the server's byte stream into frames: pieces of any size, several
// frames at once, and lengths that cannot be ours.

#include "ServerTestHelpers.h"

#include "server/FrameReader.h"
#include "server/Server.h"

#include <QSignalSpy>
#include <QTest>

namespace {

QByteArray Text(quint32 i_code, QString const& i_text)
{
    MemStream l_payload;
    l_payload.Write(i_text);
    return Frame(i_code, l_payload);
}

} // namespace

class ServerFramingTest : public QObject, private FakeLink
{
    Q_OBJECT

private slots:
    void init()
    {
        ResetStore();
        StartFake();
    }

    void cleanup() { StopFake(); }

    void ReaderHandsOutCompleteFramesOnly()
    {
        FrameReader l_reader;
        QByteArray const l_first = Text(66, "one");
        QByteArray const l_second = Frame(130);
        MemStream l_frame;
        quint32 l_code = 0;

        // Two frames in one piece.
        l_reader.Append(l_first + l_second);
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_code, quint32(66));
        QString l_text;
        QVERIFY(l_frame.Read(l_text));
        QCOMPARE(l_text, QString("one"));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_code, quint32(130));
        QCOMPARE(l_frame.BytesAvailable(), quint64(0));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::NEED_MORE);

        // One frame in three pieces, the first shorter than the length.
        l_reader.Append(l_first.left(2));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::NEED_MORE);
        l_reader.Append(l_first.mid(2, 7));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::NEED_MORE);
        l_reader.Append(l_first.mid(9));
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_code, quint32(66));
        QCOMPARE(l_reader.Pending(), 0);
    }

    void ReaderRefusesLengthsOutOfBounds()
    {
        for (quint32 l_length : {0u, 3u, SERVER_FRAME_MAX + 1, 0xFFFFFFFFu}) {
            FrameReader l_reader;
            MemStream l_header;
            l_header.WriteU32(l_length);
            l_header.WriteU32(66);
            l_reader.Append(l_header.ToByteArray());
            MemStream l_frame;
            quint32 l_code = 0, l_bad = 0;
            QCOMPARE(l_reader.Next(l_frame, l_code, &l_bad), FrameReader::BAD_LENGTH);
            QCOMPARE(l_bad, l_length);
            // Nothing more is read from a broken stream.
            l_reader.Append(Frame(130));
            QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::BAD_LENGTH);
        }
        // The largest frame allowed is taken once it is all there.
        FrameReader l_reader;
        QByteArray l_big = Frame(93, MemStream(QByteArray(int(SERVER_FRAME_MAX - 4), 'x')));
        l_reader.Append(l_big);
        MemStream l_frame;
        quint32 l_code = 0;
        QCOMPARE(l_reader.Next(l_frame, l_code), FrameReader::FRAME);
        QCOMPARE(l_frame.BytesAvailable(), quint64(SERVER_FRAME_MAX - 4));
    }

    void TwoMessagesInOneRead()
    {
        QVERIFY(LogIn());
        QSignalSpy l_admin(mp_server.get(), &Server::AdminMessage);
        mp_fake->Write(Text(66, "first") + Text(66, "second"));
        QTRY_COMPARE(l_admin.count(), 2);
        QCOMPARE(l_admin.at(0).at(0).toString(), QString("first"));
        QCOMPARE(l_admin.at(1).at(0).toString(), QString("second"));
    }

    void OneMessageOverThreeReads()
    {
        QVERIFY(LogIn());
        QSignalSpy l_admin(mp_server.get(), &Server::AdminMessage);
        QByteArray const l_frame = Text(66, "in pieces");
        mp_fake->Write(l_frame.left(3));
        QTest::qWait(50);
        mp_fake->Write(l_frame.mid(3, 6));
        QTest::qWait(50);
        QCOMPARE(l_admin.count(), 0);
        mp_fake->Write(l_frame.mid(9));
        QTRY_COMPARE(l_admin.count(), 1);
        QCOMPARE(l_admin.at(0).at(0).toString(), QString("in pieces"));
    }

    void OversizeFrameClosesTheLink()
    {
        QVERIFY(LogIn());
        QSignalSpy l_disconnected(mp_server.get(), &Server::Disconnected);
        QSignalSpy l_admin(mp_server.get(), &Server::AdminMessage);
        MemStream l_header;
        l_header.WriteU32(SERVER_FRAME_MAX + 1);
        l_header.WriteU32(66);
        // A good frame after the bad header is never read.
        mp_fake->Write(l_header.ToByteArray() + Text(66, "after"));
        QTRY_COMPARE(l_disconnected.count(), 1);
        QCOMPARE(l_admin.count(), 0);
        QVERIFY(!mp_server->IsConnected());
        // A link lost this way is one the client resumes.
        QVERIFY(mp_server->IsAbruptlyDisconnected());
    }

    void BadFrameBeforeLoginFailsTheAttempt()
    {
        QSignalSpy l_failed(mp_server.get(), &Server::ConnectionFailed);
        mp_server->Connect();
        QVERIFY(mp_fake->WaitForClient());
        mp_fake->Write(QByteArray(8, '\xff'));
        QTRY_COMPARE(l_failed.count(), 1);
        QCOMPARE(l_failed.at(0).at(0).toString(), QString("socket error"));
        QCOMPARE(mp_server->GetState(), Server::STATE_DISCONNECTED);
    }

    void DisconnectDuringAnAttempt()
    {
        QSignalSpy l_disconnected(mp_server.get(), &Server::Disconnected);
        QSignalSpy l_failed(mp_server.get(), &Server::ConnectionFailed);
        mp_server->Connect();
        QVERIFY(mp_fake->WaitForClient());
        QVERIFY(mp_fake->mp_collector->Take(ServerCode::LOGIN));
        // The user gives up before the answer: no link was ever up, so
        // nothing was lost, and the late answer must not log in.
        mp_server->Disconnect();
        QCOMPARE(l_disconnected.count(), 0);
        QVERIFY(!mp_server->IsAbruptlyDisconnected());
        MemStream l_answer;
        l_answer.WriteBool(true);
        l_answer.Write(QStringLiteral("late"));
        mp_fake->Send(ServerCode::LOGIN, l_answer);
        QTest::qWait(100);
        QCOMPARE(mp_server->GetState(), Server::STATE_DISCONNECTED);
        QCOMPARE(l_failed.count(), 0);
    }

    void SilentServerTimesOut()
    {
        mp_server->SetLoginTimeout(200);
        QSignalSpy l_failed(mp_server.get(), &Server::ConnectionFailed);
        mp_server->Connect();
        QVERIFY(l_failed.wait(5000));
        QCOMPARE(l_failed.at(0).at(0).toString(), QString("socket error"));
        QCOMPARE(mp_server->GetState(), Server::STATE_DISCONNECTED);
    }
};

QTEST_MAIN(ServerFramingTest)
#include "ServerFramingTest.moc"
