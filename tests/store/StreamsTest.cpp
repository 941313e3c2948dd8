#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/rcptr.h"

#include <QtTest>

#include <tuple>

namespace {

QByteArray Deflated(QByteArray const& i_bytes)
{
    QByteArray l_out;
    if (!ZlibCompress(i_bytes.constData(), quint64(i_bytes.size()), l_out))
        qFatal("cannot compress");
    return l_out;
}

bool Inflate(QByteArray const& i_stream, quint64 i_cap, QByteArray& o_out)
{
    return ZlibInflate(i_stream.constData(), quint64(i_stream.size()), i_cap, o_out);
}

} // namespace

class StreamsTest : public QObject
{
    Q_OBJECT

private slots:
    void FieldsHaveExactBytes()
    {
        // u8, u32, i32, u64 above 4 GiB, i64, bool, a string of 20 UTF-8 bytes
        // and an empty one.
        QByteArray const l_bytes = QByteArray::fromHex(
            "ab" "04030201" "feffffff" "0100000005000000" "000efad5feffffff" "01"
            "14000000" "4772c3bcc39f652c20e4b896e7958c20f09f8eb5" "00000000");
        QString const l_text = QString::fromUtf8("Grüße, 世界 🎵");
        MemStream l_out;
        QVERIFY(l_out.WriteU8(0xAB) && l_out.WriteU32(0x01020304u) && l_out.WriteI32(-2)
                && l_out.WriteU64(0x0000000500000001ull) && l_out.WriteI64(-5000000000ll)
                && l_out.WriteBool(true)
                && l_out.Write(l_text) && l_out.Write(QString()));
        QCOMPARE(l_out.ToByteArray().toHex(), l_bytes.toHex());

        MemStream l_in(l_bytes);
        quint8 l_u8 = 0;
        quint32 l_u32 = 0;
        qint32 l_i32 = 0;
        quint64 l_u64 = 0;
        qint64 l_i64 = 0;
        bool l_bool = false;
        QString l_back, l_empty = "x";
        QVERIFY(l_in.Read(l_u8) && l_in.Read(l_u32) && l_in.Read(l_i32) && l_in.Read(l_u64) && l_in.Read(l_i64)
                && l_in.Read(l_bool) && l_in.Read(l_back) && l_in.Read(l_empty));
        QCOMPARE(std::make_tuple(l_u8, l_u32, l_i32, l_u64, l_i64, l_bool),
                 std::make_tuple(quint8(0xAB), 0x01020304u, -2, 0x0000000500000001ull, -5000000000ll, true));
        QCOMPARE(l_back, l_text);
        QCOMPARE(l_empty, QString());
        QVERIFY(!l_in.Read(l_u8));
    }

    void StringLimitsAndShortReadsFail()
    {
        int const l_limit = int(NETWORK_STRING_LIMIT);
        QByteArray const l_overLimit = QByteArray::fromHex("01000200") + QByteArray(l_limit + 1, 'a');
        QByteArray const l_atLimit = QByteArray::fromHex("00000200") + QByteArray(l_limit, 'b');
        struct Case
        {
            QByteArray m_bytes;
            quint32 m_limit;
            bool m_readable;
        } const l_cases[] = {
            {l_overLimit, NETWORK_STRING_LIMIT, false},  // refused although the bytes are there
            {l_atLimit, NETWORK_STRING_LIMIT, true},
            {l_overLimit, 1 << 20, true},                // the data file raises the limit
            {QByteArray::fromHex("0a000000616263"), UNLIMITED_STRING, false}, // longer than what is left
            {QByteArray::fromHex("ffffffff41"), UNLIMITED_STRING, false},     // 4 GiB: nothing allocated
        };
        for (Case const& l_case : l_cases) {
            MemStream l_stream(l_case.m_bytes);
            l_stream.SetStringLimit(l_case.m_limit);
            QByteArray l_back;
            QCOMPARE(l_stream.Read(l_back), l_case.m_readable);
            if (l_case.m_readable)
                QCOMPARE(l_back, l_case.m_bytes.mid(4));
        }
        // The writer refuses above its own limit, so what it writes reads back.
        MemStream l_limited;
        l_limited.SetStringLimit(1 << 20);
        QVERIFY(!l_limited.Write(std::string((1 << 20) + 1, 'a')));
        QCOMPARE(l_limited.Size(), quint64(0));
        // Truncated integers fail without consuming anything.
        MemStream l_short(QByteArray::fromHex("010203"));
        quint32 l_value = 0;
        QVERIFY(!l_short.ReadU32(l_value));
        QCOMPARE(l_short.BytesAvailable(), quint64(3));
        quint64 l_wide = 0;
        MemStream l_seven(QByteArray(7, '\0'));
        QVERIFY(!l_seven.ReadU64(l_wide));
    }

    void CopiesShareTheBuffer()
    {
        MemStream l_first;
        l_first.WriteU32(7);
        MemStream l_copy = l_first;
        l_copy.WriteU32(8);
        QCOMPARE(l_first.Size(), quint64(8));
        quint32 l_value = 0;
        QVERIFY(l_copy.ReadU32(l_value));
        QCOMPARE(l_first.ReadIndex(), quint64(4)); // positions are shared too
        QVERIFY(!l_first.SetReadIndex(9));
        QVERIFY(l_first.SetReadIndex(0));
    }

    void FileInfoRecords()
    {
        FileInfo l_info("a.mp3", 0x100000002ull);
        l_info.m_attributes.m_extension = "mp3";
        l_info.m_attributes.m_attributes = {{0, 320}, {2, 1}};
        MemStream l_stream;
        QVERIFY(l_info.Write(l_stream));
        QByteArray const l_expected = QByteArray::fromHex("01"
                                                          "05000000" "612e6d7033"
                                                          "0200000001000000"
                                                          "03000000" "6d7033"
                                                          "02000000"
                                                          "0000000040010000"
                                                          "0200000001000000");
        QCOMPARE(l_stream.ToByteArray(), l_expected);
        FileInfo l_back;
        QVERIFY(l_back.Read(l_stream));
        QVERIFY(l_back == l_info);

        // Every truncation of the record fails.
        for (int l_length = 0; l_length < l_expected.size(); ++l_length) {
            MemStream l_cut(l_expected.left(l_length));
            FileInfo l_partial;
            QVERIFY2(!l_partial.Read(l_cut), qPrintable(QString::number(l_length)));
        }
        // So does an attribute count the bytes cannot hold, before any loop.
        MemStream l_hostile;
        l_hostile.WriteRaw(std::string("mp3"));
        l_hostile.WriteU32(0xFFFFFFFFu);
        l_hostile.WriteU32(1);
        l_hostile.WriteU32(2);
        AttributeMap l_map;
        QVERIFY(!l_map.Read(l_hostile));

        // Records order by name bytes, then by size.
        std::set<FileInfo> l_set;
        l_set.insert(FileInfo("a.mp3", 5));
        l_set.insert(FileInfo("B.mp3", 9));
        l_set.insert(FileInfo("a", 1));
        l_set.insert(FileInfo("a.mp3", 3));
        l_set.insert(FileInfo("a.mp3", 5)); // the same record
        QStringList l_order;
        for (FileInfo const& l_member : l_set)
            l_order << QString("%1:%2").arg(l_member.Name()).arg(l_member.m_size);
        QCOMPARE(l_order, QStringList({"B.mp3:9", "a:1", "a.mp3:3", "a.mp3:5"}));
        // Size compares as signed: a huge unsigned size sorts first.
        QVERIFY(FileInfo("x", quint64(-1)) < FileInfo("x", 0));
    }

    void CompressedPayloads()
    {
        MemStream l_payload;
        for (quint32 l_index = 0; l_index < 5000; ++l_index) {
            l_payload.WriteU32(l_index);
            l_payload.Write(QString("folder\\file %1.mp3").arg(l_index));
        }
        MemStream l_message;
        l_message.WriteU32(5);
        QVERIFY(ZlibCompress(l_payload, l_message));
        QVERIFY(l_message.Size() < l_payload.Size());
        quint32 l_code = 0;
        QVERIFY(l_message.ReadU32(l_code) && l_code == 5u);
        MemStream l_inflated;
        QVERIFY(ZlibInflate(l_message, INFLATE_CAP_DEFAULT, l_inflated));
        QCOMPARE(l_inflated.ToByteArray(), l_payload.ToByteArray());
        QCOMPARE(l_inflated.ReadIndex(), quint64(0));

        // An empty payload is a valid stream too; so is incompressible noise.
        QByteArray l_back;
        QVERIFY(Inflate(Deflated(""), 16, l_back) && l_back.isEmpty());
        QByteArray l_noise(100000, Qt::Uninitialized);
        quint32 l_seed = 12345;
        for (char& l_byte : l_noise) {
            l_seed = l_seed * 1103515245u + 12345u;
            l_byte = char(l_seed >> 24);
        }
        QVERIFY(Inflate(Deflated(l_noise), INFLATE_CAP_DEFAULT, l_back));
        QCOMPARE(l_back, l_noise);

        // 64 MiB of zeros compresses to about 64 KiB: a bomb for a 16 MiB cap.
        int const l_size = 64 * 1024 * 1024;
        QByteArray const l_bomb = Deflated(QByteArray(l_size, '\0'));
        QByteArray l_out("stale");
        QVERIFY(!Inflate(l_bomb, INFLATE_CAP_DEFAULT, l_out));
        QVERIFY(l_out.isEmpty());
        // The same stream within a cap that fits inflates completely, and a cap
        // one byte short refuses it.
        QVERIFY(Inflate(l_bomb, l_size, l_out));
        QCOMPARE(l_out.size(), l_size);
        QVERIFY(l_out.capacity() <= l_size); // never reserved past the cap
        QVERIFY(!Inflate(l_bomb, l_size - 1, l_out));

        // Streams cut short or damaged fail.
        QByteArray l_text;
        for (int l_index = 0; l_index < 2000; ++l_index)
            l_text += QByteArray::number(l_index) + ' ';
        QByteArray const l_good = Deflated(l_text);
        QByteArray l_flipped = l_good;
        l_flipped[l_good.size() / 2] = char(l_flipped[l_good.size() / 2] ^ 0x55);
        QList<QByteArray> l_bad = {"not a zlib stream at all", l_flipped, '\0' + l_good.mid(1)};
        for (int l_cut : {0, 1, 2, 10, l_good.size() / 2, l_good.size() - 1})
            l_bad << l_good.left(l_cut);
        for (QByteArray const& l_stream : l_bad)
            QVERIFY2(!Inflate(l_stream, INFLATE_CAP_DEFAULT, l_out), l_stream.left(8).toHex().constData());
    }

    void FileStreamerRoundTripAndBoundsLengths()
    {
        QTemporaryFile l_file;
        QVERIFY(l_file.open());
        {
            QFileStreamer l_out(&l_file);
            QVERIFY(l_out.WriteU64(0x1122334455667788ull));
            QVERIFY(l_out.Write(QString::fromUtf8("Ünïcode")));
            QVERIFY(l_out.WriteU32(0x7FFFFFFF)); // a length with no bytes behind it
        }
        QVERIFY(l_file.seek(0));
        QFileStreamer l_in(&l_file);
        quint64 l_value = 0;
        QString l_text;
        QVERIFY(l_in.ReadU64(l_value) && l_in.Read(l_text));
        QCOMPARE(l_value, 0x1122334455667788ull);
        QCOMPARE(l_text, QString::fromUtf8("Ünïcode"));
        l_in.SetStringLimit(UNLIMITED_STRING);
        QVERIFY(!l_in.Read(l_text));
        QVERIFY(!l_in.ReadU8(*reinterpret_cast<quint8*>(&l_value)));
    }

    void RcptrCountsReferences()
    {
        struct Counted
        {
            explicit Counted(int& io_deaths) : m_deaths(io_deaths) {}
            ~Counted() { ++m_deaths; }
            int& m_deaths;
        };
        int l_deaths = 0;
        {
            rcptr<Counted> l_first(new Counted(l_deaths));
            rcptr<Counted> l_second = l_first;
            QCOMPARE(l_first.UseCount(), 2L);
            rcptr<Counted> l_moved = std::move(l_second);
            QVERIFY(!l_second);
            QCOMPARE(l_first.UseCount(), 2L);
            l_first.Reset();
            QCOMPARE(l_deaths, 0);
            l_moved = l_moved; // self-assignment keeps the object
            QCOMPARE(l_deaths, 0);
        }
        QCOMPARE(l_deaths, 1);
    }
};

QTEST_GUILESS_MAIN(StreamsTest)
#include "StreamsTest.moc"
