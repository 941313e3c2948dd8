// The peer messages as bytes: every decoder from literal bytes to its
// record or its fault, every encoder to the same bytes, the handshakes and
// the key stream. No socket: what needs one is in the other peer tests.

#include "HostileShareLists.h"
#include "PeerTestSupport.h"
#include "peers/PeerCodec.h"
#include "peers/ShareListDecoder.h"

using namespace PeerCodec;

namespace {

QString Str(QString const& i_text) { return i_text; }
QString Str(std::string const& i_bytes) { return QString::fromStdString(i_bytes); }
QString Str(QByteArray const& i_bytes) { return QString::fromLatin1(i_bytes); }
QString Str(char const* ip_text) { return QString::fromLatin1(ip_text); }
template <class N> QString Str(N i_number) { return QString::number(i_number); }
template <class... A> QString Join(A const&... i_parts) { return QStringList{Str(i_parts)...}.join(' '); }

// "name size [extension] [code=value...]" for each file.
template <class C> QString FileList(C const& i_files)
{
    QStringList l_files;
    for (FileInfo const& l_file : i_files) {
        l_files << Join(l_file.m_name, l_file.m_size, l_file.m_attributes.m_extension).trimmed();
        for (auto const& l_pair : l_file.m_attributes.m_attributes)
            l_files.last() += QString(" %1=%2").arg(l_pair.first).arg(l_pair.second);
    }
    return l_files.join(", ");
}

QString Folders(FileInfoMap const& i_folders)
{
    QStringList l_parts;
    for (auto const& l_folder : i_folders)
        l_parts << Str(l_folder.first) + ": " + FileList(l_folder.second);
    return l_parts.join("; ");
}

template <class... F> struct Overload : F... { using F::operator()...; };
template <class... F> Overload(F...) -> Overload<F...>;

QString Describe(Record const& i_record)
{
    return std::visit(
        Overload{
            [](std::monostate) { return QString(); },
            [](ShareList const& r) { return Join(Folders(r.m_folders), "|", r.m_table.size()); },
            [](SearchAnswer const& r) {
                return Join(r.m_user, r.m_token, "[" + FileList(r.m_files) + "]", r.m_freeSlot, r.m_speed, r.m_queued);
            },
            [](UserInfo const& r) {
                return Join(r.m_description, r.m_picture, r.m_hasPicture, r.m_uploadSlots, r.m_queuedUploads, r.m_freeSlot);
            },
            [](FolderRequest const& r) { return Join(r.m_token, r.m_folder); },
            [](FolderContents const& r) { return Join(r.m_token, r.m_folder, "|", Folders(r.m_folders)); },
            [](TransferRequest const& r) { return Join(r.m_direction, r.m_token, r.m_file, r.m_size); },
            [](TransferResponse const& r) {
                return Join(r.m_token, r.m_allowed, r.m_hasSize ? Str(r.m_size) : QString("-"), r.m_reason);
            },
            [](FileRequest const& r) { return r.m_file; },
            [](PlaceInLine const& r) { return Join(r.m_file, r.m_place); },
            [](UploadFailed const& r) { return Str(r.m_file); },
            [](UploadDenied const& r) { return Join(r.m_file, r.m_reason); },
            [](QueueDownload const& r) { return Join(r.m_file, r.m_size); },
        },
        i_record);
}

// What decoding the bytes gives: "<code>: <record>", "malformed" or "refused".
QString Outcome(QByteArray const& i_message)
{
    MemStream l_in(i_message);
    Message l_message;
    Status l_status = Decode(l_in, l_message);
    if (l_status.m_fault == Fault::Malformed)
        return "malformed";
    if (l_status.m_fault == Fault::Refused)
        return "refused";
    return QString("%1: %2").arg(l_message.m_code).arg(Describe(l_message.m_record)).trimmed();
}

} // namespace

class PeerCodecTest : public QObject
{
    Q_OBJECT

private slots:
    void decoders_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("encoded"); // by our encoder, for the messages we write
        auto Row = [](char const* ip_name, QByteArray const& i_message, char const* ip_outcome,
                      MemStream const& i_encoded = MemStream()) {
            QTest::newRow(ip_name) << i_message << QString::fromUtf8(ip_outcome) << i_encoded.ToByteArray();
        };
        Row("share-list request", H("04000000"), "4:", EncodeRequest(SHARED_FILES_REQUEST));
        Row("user-information request", H("0f000000"), "15:", EncodeRequest(USER_INFO_REQUEST));
        Row("unknown code, payload skipped", H("63000000 0102"), "99:");
        // Attributes keep their order and repeats; files their set order.
        Row("share list", H("05000000") + Zlib(SHARE_RECORD),
            "5: m\\a: a.mp3 5, b.mp3 9 mp3 2=1 0=128 0=128; m\\empty:  | 1");
        Row("search answer", H("09000000") + Zlib(ANSWER_RECORD), "9: alice 1001 [a.mp3 5, b.mp3 9 mp3 2=1 0=128 0=128] 1 123456 3");
        Row("folder contents", H("25000000") + Zlib(FOLDER_RECORD), "37: 9 m\\a | m\\a: a.mp3 5");
        Row("user information", WHOLE_MESSAGES[0], "16: hi PNG 1 2 5 1");
        Row("user information without picture", H("10000000 00000000 00 01000000 00000000 00"), "16:   0 1 0 0");
        Row("folder request", WHOLE_MESSAGES[1], "36: 9 a\\b");
        Row("transfer offer", WHOLE_MESSAGES[2], "40: 1 77 x\\y 99", EncodeTransferRequest(77, "x\\y", 99));
        Row("transfer offer of large numbers", H("28000000 01000000 ffffffff 07000000 615c622e6d7033 0504030201000000"),
            "40: 1 4294967295 a\\b.mp3 4328719365", EncodeTransferRequest(0xffffffffu, "a\\b.mp3", 0x0102030405ll));
        Row("transfer ask without size", H("28000000 00000000 4e000000 03000000") + "x\\z", "40: 0 78 x\\z 0");
        Row("transfer ask, size means nothing",
            H("28000000 00000000 4e000000 03000000") + "x\\z" + H("ffffffffffffffff"), "40: 0 78 x\\z 0");
        Row("accepted with size", H("29000000 05000000 01 d204000000000000"), "41: 5 1 1234",
            EncodeTransferAccepted(5, true, 1234));
        Row("accepted", H("29000000 06000000 01"), "41: 6 1 -", EncodeTransferAccepted(6, false, 1234));
        Row("denied", WHOLE_MESSAGES[3], "41: 7 0 - Cancelled", EncodeTransferDenied(7, "Cancelled"));
        Row("queue upload", WHOLE_MESSAGES[4], "43: q\\r", EncodeQueueUpload("q\\r"));
        Row("place in line", WHOLE_MESSAGES[5], "44: q\\r 4", EncodePlaceInLine("q\\r", 4));
        Row("upload failed", WHOLE_MESSAGES[6], "46: q\\s");
        Row("upload denied", WHOLE_MESSAGES[7], "50: q\\t Banned", EncodeUploadDenied("q\\t", "Banned"));
        Row("place-in-line request", WHOLE_MESSAGES[8], "51: q\\u");
        Row("queue download", WHOLE_MESSAGES[9], "60: q\\v 42", EncodeQueueDownload("q\\v", 42));

        // Values that must not be passed on.
        Row("place in line above 2^31 - 1", H("2c000000 01000000") + "f" + H("00000080"), "refused");
        Row("negative offered size", H("28000000 01000000 01000000 01000000") + "f" + H("ffffffffffffffff"), "refused");
        Row("negative accepted size", H("29000000 05000000 01 0000000000000080"), "refused");
        Row("negative queued size", H("3c000000 01000000") + "f" + H("ffffffffffffffff"), "refused");
        Row("NUL in a queued path", H("2b000000 03000000 61 00 62"), "refused");
        Row("NUL in a failed path", H("2e000000 03000000 61 00 62"), "refused");
        Row("NUL in a requested folder", H("24000000 01000000 02000000 6100"), "refused");
        Row("negative slot count", H("10000000 00000000 00 00000080 00000000 00"), "refused");
        QByteArray l_negativeFile = H("01 01000000") + "x" + H("ffffffffffffffff 00000000 00000000");
        Row("negative file size in an answer",
            H("09000000") + Zlib(H("01000000 61 01000000 01000000") + l_negativeFile + H("00 00000000 00000000")),
            "refused");
        Row("NUL in a share-list folder",
            H("05000000") + Zlib(H("01000000 02000000 6100 00000000 00000000")), "refused");

        // Malformed: the connection goes.
        Row("zlib bomb", H("09000000") + Zlib(QByteArray(20 * 1024 * 1024, '\0')), "malformed");
        QByteArray l_answer = H("09000000") + Zlib(ANSWER_RECORD);
        Row("truncated zlib stream", l_answer.left(l_answer.size() / 2), "malformed");
        Row("not zlib at all", H("05000000 0102030405"), "malformed");
        Row("file count beyond the bytes",
            H("09000000") + Zlib(H("01000000 61 e9030000 40420f00") + PLAIN_FILE), "malformed");
        Row("more files than an answer holds",
            H("09000000") + Zlib(H("01000000 61 e9030000 a1860100") + QByteArray(100001 * 21, '\0')), "malformed");
        QByteArray l_attributes = H("01 01000000 78 0100000000000000 00000000 21000000") + QByteArray(33 * 8, '\0');
        Row("33 attributes",
            H("09000000") + Zlib(H("01000000 61 e9030000 01000000") + l_attributes + H("00 00000000 00000000")),
            "malformed");
        Row("share-list folder count", H("05000000") + Zlib(H("ffffff7f")), "malformed");
        // 2,000,001 empty folders: bytes enough for each, but empty folders
        // count as entries.
        Row("share list of too many folders",
            H("05000000") + Zlib(H("81841e00") + QByteArray(2000001 * 8, '\0') + H("00000000")), "malformed");
        // The attribute-name table: at most 256 names, each an entry.
        auto Names = [](quint32 i_count) {
            QByteArray l_table = Le32(i_count);
            for (quint32 l_name = 0; l_name < i_count; ++l_name)
                l_table += Le32(l_name) + H("01000000") + "n";
            return l_table;
        };
        Row("256 attribute names", H("05000000") + Zlib(H("00000000") + Names(256)), "5:  | 256");
        Row("257 attribute names", H("05000000") + Zlib(H("00000000") + Names(257)), "malformed");
        Row("names past the entries left",
            H("05000000") + Zlib(H("40841e00") + QByteArray(1999936 * 8, '\0') + Names(65)), "malformed");
        Row("picture length beyond the bytes", H("10000000 01000000 78 01 ffffffff 01000000"), "malformed");
        Row("folder contents cut short", H("25000000") + Zlib(FOLDER_RECORD.left(20)), "malformed");
    }

    void decoders()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, outcome);
        QFETCH(QByteArray, encoded);
        QCOMPARE(Outcome(message), outcome);
        if (!encoded.isEmpty())
            QCOMPARE(encoded, message);
    }

    // Names and depths within what file systems hold are taken; a list
    // past one is refused with the reason, as soon as the field is
    // inflated: a bomb's first piece is all that is inflated of it.
    void shareListBounds_data()
    {
        using namespace HostileShareLists;
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("inflatedPastIt"); // more than its first pieces
        QByteArray const l_name(1024, 'n');
        QByteArray const l_over(1025, 'o');
        auto Row = [](char const* ip_name, QByteArray const& i_record, char const* ip_outcome,
                      bool i_inflatedPastIt = true) {
            QTest::newRow(ip_name) << i_record << QString(ip_outcome) << i_inflatedPastIt;
        };
        Row("names of 1,024 bytes", ListRecord(1, Folder("a\\" + l_name + "\\b", {File(l_name, 1, l_name)})),
            "1 folders, 1 files");
        Row("a folder's name of 1,025 bytes", ListRecord(1, Folder("a\\" + l_over + "\\b")),
            "holds a name of 1,025 bytes, longer than any file system allows (1,024)");
        Row("names of 131,000 bytes", LongNames(40, 131000),
            "holds a name of 131,000 bytes, longer than any file system allows (1,024)", false);
        Row("a file's name of 1,025 bytes", ListRecord(1, Folder("a", {File(l_over)})),
            "holds a name of 1,025 bytes, longer than any file system allows (1,024)");
        Row("an extension of 1,025 bytes", ListRecord(1, Folder("a", {File("x", 1, l_over)})),
            "holds a name of 1,025 bytes, longer than any file system allows (1,024)");
        Row("an attribute's name of 1,025 bytes", U32(0) + U32(1) + U32(7) + String(l_over),
            "holds a name of 1,025 bytes, longer than any file system allows (1,024)");
        Row("2,048 levels", DeepChain(2048), "2,048 folders, 0 files");
        Row("2,049 levels", DeepChain(2100),
            "holds a folder 2,049 levels deep, deeper than any file system allows (2,048)");
        Row("levels of slashes", ListRecord(1, Folder("a" + QByteArray(2048, '/'))),
            "holds a folder 2,049 levels deep, deeper than any file system allows (2,048)");
        Row("attribute-name bomb", NameTableBomb(6000000), "names 6,000,000 attributes after 0 entries", false);
        Row("a NUL in a file's name", ListRecord(1, Folder("a", {File(QByteArray("x\0y", 3))})),
            "names a file with a NUL byte");
        Row("cut inside a name", ListRecord(1, Folder("a", {File("xyz")})).left(14), "is cut short");
    }

    void shareListBounds()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, outcome);
        QFETCH(bool, inflatedPastIt);
        MemStream l_in(H("05000000") + Zlib(record));
        Message l_message;
        Status const l_status = Decode(l_in, l_message);
        QString l_outcome = l_status.m_reason;
        if (l_status.Ok()) {
            FileInfoMap const& l_folders = std::get<ShareList>(l_message.m_record).m_folders;
            std::size_t l_files = 0;
            for (auto const& l_folder : l_folders)
                l_files += l_folder.second.size();
            l_outcome = QString("%1 folders, %2 files")
                            .arg(QLocale(QLocale::English).toString(qulonglong(l_folders.size())))
                            .arg(l_files);
        }
        QCOMPARE(l_outcome, outcome);
        // What lies past the bound is not inflated.
        ShareListDecoder l_decoder(Zlib(record), 0);
        l_decoder.Finish();
        if (!inflatedPastIt)
            QVERIFY2(l_decoder.InflatedBytes() <= 3 * ShareListDecoder::INFLATE_PIECE,
                     qPrintable(QString::number(l_decoder.InflatedBytes())));
    }

    void searchAnswerTokens_data()
    {
        QTest::addColumn<QByteArray>("compressed");
        QTest::addColumn<QString>("token");
        QTest::newRow("answer") << Zlib(ANSWER_RECORD) << "1001";
        // Whatever follows the token is not looked at.
        QTest::newRow("files beyond the bytes") << Zlib(H("05000000") + "alice" + H("e9030000 ffffffff")) << "1001";
        QTest::newRow("empty name") << Zlib(H("00000000 07000000")) << "7";
        QTest::newRow("cut in the token") << Zlib(H("05000000") + "alice" + H("e903")) << "malformed";
        QTest::newRow("name past the string limit") << Zlib(H("01000200") + QByteArray(0x20001, 'x') + H("07000000"))
                                                    << "malformed";
        QTest::newRow("not zlib") << H("0102030405060708") << "malformed";
    }

    // The token of a search answer is read from the start of its record.
    void searchAnswerTokens()
    {
        QFETCH(QByteArray, compressed);
        QFETCH(QString, token);
        quint32 l_token = 0;
        Status const l_status = PeekSearchAnswerToken(MemStream(compressed), l_token);
        QCOMPARE(l_status.Ok() ? QString::number(l_token) : QString("malformed"), token);
    }

    // An answer read as the messenger reads it, a step at a time: the
    // steps that left more to do, the files kept of those it holds, and how
    // it ended. Inflating goes 256 KiB a step, files 256 a step.
    void searchAnswersReadInSteps_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("keep");
        QTest::addColumn<QString>("outcome");
        auto const l_answer = [](int i_files, quint32 i_count) {
            return H("09000000") + Zlib(H("01000000 61 e9030000") + Le32(i_count) + PLAIN_FILE.repeated(i_files) +
                                        H("00 00000000 00000000"));
        };
        QTest::newRow("two files, one kept") << l_answer(2, 2) << 1 << "3 steps, 1 of 2 kept";
        QTest::newRow("600 files") << l_answer(600, 600) << 1000 << "5 steps, 600 of 600 kept";
        QTest::newRow("none kept") << l_answer(600, 600) << 0 << "5 steps, 0 of 600 kept";
        QTest::newRow("count past its bytes") << l_answer(2, 3) << 10 << "1 steps, 0 of 3 kept, malformed";
        QTest::newRow("cut short") << l_answer(600, 600).chopped(8) << 10 << "0 steps, 0 of 0 kept, malformed";
        QTest::newRow("bomb") << H("09000000") + Zlib(QByteArray(20 * 1024 * 1024, '\0')) << 10
                              << "64 steps, 0 of 0 kept, malformed";
    }
    void searchAnswersReadInSteps()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, keep);
        SearchAnswerReader l_reader(message, 4, std::size_t(keep));
        int l_steps = 0;
        while (l_reader.Step())
            ++l_steps;
        Status const& l_status = l_reader.Result();
        QString l_outcome = QString("%1 steps, %2 of %3 kept")
                                .arg(l_steps)
                                .arg(l_reader.Answer().m_files.size())
                                .arg(l_reader.FileCount());
        if (!l_status.Ok())
            l_outcome += l_status.m_fault == Fault::Malformed ? ", malformed" : ", refused";
        QTEST(l_outcome, "outcome");
    }

    // Answers of the same files in any order share a digest; a file more,
    // another size or another name makes another.
    void answerDigests_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<bool>("same");
        QTest::newRow("same order") << QStringList{"a 1", "b 2"} << QStringList{"a 1", "b 2"} << true;
        QTest::newRow("other order") << QStringList{"a 1", "b 2", "c 3"} << QStringList{"c 3", "a 1", "b 2"} << true;
        QTest::newRow("a file twice") << QStringList{"a 1", "a 1"} << QStringList{"a 1"} << false;
        QTest::newRow("sizes swapped") << QStringList{"a 1", "b 2"} << QStringList{"a 2", "b 1"} << false;
        QTest::newRow("names swapped") << QStringList{"a 1", "b 2"} << QStringList{"b 1", "a 2"} << false;
        QTest::newRow("another folder") << QStringList{"m\\a 1"} << QStringList{"n\\a 1"} << false;
        QTest::newRow("none") << QStringList{} << QStringList{} << true;
    }
    void answerDigests()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        auto const l_digest = [](QStringList const& i_files) {
            FilesDigest l_digest;
            for (QString const& l_file : i_files)
                l_digest.Add(FileInfo(l_file.section(' ', 0, 0).toStdString(), l_file.section(' ', 1).toULongLong()));
            return l_digest;
        };
        FilesDigest const l_a = l_digest(first), l_b = l_digest(second);
        quint64 l_comparisons = 0;
        FilesDigestOrder const l_before(l_comparisons);
        bool const l_aFirst = l_before(l_a, l_b), l_bFirst = l_before(l_b, l_a);
        QTEST(!l_aFirst && !l_bFirst, "same");
        QCOMPARE(l_comparisons, quint64(2));
    }

    // Whole, each of these decodes in the table above.
    void messagesCutShortAreMalformed()
    {
        for (QByteArray const& l_message : WHOLE_MESSAGES)
            for (int l_cut = 4; l_cut < l_message.size(); ++l_cut)
                QVERIFY2(Outcome(l_message.left(l_cut)) == "malformed",
                         qPrintable(QString("%1 cut at %2").arg(QString(l_message.toHex())).arg(l_cut)));
        QCOMPARE(Outcome(H("0500")), QString("malformed")); // no whole code
    }

    void handshakes_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("parsed");
        QTest::newRow("init") << H("01 05000000") + "alice" + H("01000000") + "P" << "1 alice P 0";
        QTest::newRow("connect-back") << H("00 2b020000 03000000") + "bob" << "0 bob  555";
        QTest::newRow("unknown code") << H("07 01000000") + "x" << "-";
        QTest::newRow("unknown type") << H("01 01000000") + "x" + H("01000000") + "Q" << "-";
        QTest::newRow("empty user") << H("01 00000000 01000000") + "P" << "-";
        QTest::newRow("trailing bytes") << H("00 2b020000 03000000") + "bob" + H("00") << "-";
        QTest::newRow("cut short") << H("00 2b0200") << "-";
    }

    void handshakes()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, parsed);
        PeerWire::Handshake l_handshake;
        bool l_ok = PeerWire::ParseHandshake(payload, l_handshake);
        QString const l_parsed =
            Join(int(l_handshake.m_code), l_handshake.m_user, l_handshake.m_type, l_handshake.m_token);
        QCOMPARE(l_ok ? l_parsed : QString("-"), parsed);
        if (l_ok) // what we send is what we read
            QCOMPARE(l_handshake.m_code == PeerWire::HANDSHAKE_INIT
                         ? PeerWire::BuildInitHandshake(l_handshake.m_user, l_handshake.m_type)
                         : PeerWire::BuildConnectBackHandshake(l_handshake.m_token, l_handshake.m_user),
                     payload);
    }

    // A connection is from the user the server places at an address when
    // it comes from that address, or from a private one while the server's
    // is public (a neighbour behind the same router).
    void senderAddresses()
    {
        auto Ip = [](char const* ip_text) { return QHostAddress(QString(ip_text)).toIPv4Address(); };
        QVERIFY(PeerWire::AddressMatches(Ip("203.0.113.7"), Ip("203.0.113.7")));
        QVERIFY(PeerWire::AddressMatches(Ip("127.0.0.1"), Ip("127.0.0.1")));
        for (char const* lp_private : {"10.1.2.3", "172.16.0.9", "172.31.255.1", "192.168.1.20", "169.254.3.3"})
            QVERIFY2(PeerWire::AddressMatches(Ip(lp_private), Ip("203.0.113.7")), lp_private);
        QVERIFY(!PeerWire::AddressMatches(Ip("203.0.113.8"), Ip("203.0.113.7")));
        QVERIFY(!PeerWire::AddressMatches(Ip("172.32.0.1"), Ip("203.0.113.7"))); // not private
        QVERIFY(!PeerWire::AddressMatches(Ip("192.168.1.20"), Ip("10.0.0.1")));  // the server's is not public
        QVERIFY(!PeerWire::AddressMatches(Ip("127.0.0.2"), Ip("127.0.0.1")));
        QVERIFY(!PeerWire::AddressMatches(Ip("10.0.0.1"), 0));
    }

    // The key stream as documented: key 1 gives the words 2, 4, 8, ...; the
    // scrambling is its own inverse.
    void keyStream()
    {
        QCOMPARE(PeerWire::BuildFrame("A", true, 1), H("01000000 03000000 45"));
        QCOMPARE(PeerWire::BuildFrame("ABCDE", true, 0x80000001), H("01000080 06000000 47424344 49"));
        QByteArray l_frame = PeerWire::BuildFrame("hello there", true, 0x12345678);
        QVERIFY(!l_frame.contains("hello"));
        QByteArray l_body = l_frame.mid(4);
        PeerWire::Scramble(0x12345678, 0, l_body.data(), quint64(l_body.size()));
        QCOMPARE(l_body, H("0b000000") + "hello there");
    }
};

QTEST_MAIN(PeerCodecTest)
#include "PeerCodecTest.moc"
