#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"

#include "server/StoreTypes.h"

#include <QtTest>

class FilterTest : public QObject
{
    Q_OBJECT

private:
    // A file item with the three attributes the filter reads; an empty mode
    // or a negative bitrate leaves that attribute out.
    static Item File(qint64 i_size, int i_bitrate, char const* ip_mode)
    {
        Item const l_file = d["search_result"]->NewItem();
        SetAttribute(l_file, "file_size", Value(static_cast<long long>(i_size)));
        if (i_bitrate >= 0)
            SetAttribute(l_file, "bitrate", Value(i_bitrate));
        if (*ip_mode)
            SetAttribute(l_file, "bitrate_mode", Value(ip_mode));
        return l_file;
    }

    static int Match(QString const& i_filter, QString const& i_text, Item const& i_item = Item())
    {
        FilterParser l_filter;
        l_filter.Parse(i_filter);
        return l_filter.IsMatching(i_text, nullptr, i_item);
    }

private slots:
    void initTestCase()
    {
        EnsureType("search_result", INTERMEDIATE, true, true);
        for (char const* lp_attribute : {"file_size", "bitrate", "bitrate_mode"})
            EnsureAttribute("search_result", lp_attribute);
    }

    void WordsAndTokens_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");
        QTest::newRow("empty") << "" << "anything" << 0;
        QTest::newRow("blanks only") << "   " << "x" << 0;
        QTest::newRow("blank runs separate") << "a  b" << "xbxa" << 0;
        QTest::newRow("a word missing") << "a  b" << "xa" << 1;
        QTest::newRow("tab is part of a word") << "a\tb" << "a b" << 1;
        QTest::newRow("substring, any case") << "MP3 rock" << "Shamrock song.mp3" << 0;
        QTest::newRow("lone dash ignored") << "-" << "x" << 0;
        QTest::newRow("double dash excludes -x") << "--x" << "a-xb" << 2;
        QTest::newRow("double dash keeps x") << "--x" << "axb" << 0;
        QTest::newRow("dashed keyword is a word") << "-isvbr" << "isvbr live" << 2;
        QTest::newRow("keywords are case-sensitive") << "Isvbr Mbr:128" << "isvbr mbr:128" << 0;
        QTest::newRow("exclusion wins") << "live -demo" << "Live demo" << 2;
    }

    void WordsAndTokens()
    {
        QFETCH(QString, filter);
        QFETCH(QString, text);
        QFETCH(int, result);
        QCOMPARE(Match(filter, text), result);
    }

    void AttributeLimits_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("result");
        QTest::newRow("isvbr on vbr") << "isvbr" << qint64(1) << 128 << "vbr" << 0;
        QTest::newRow("isvbr on cbr") << "isvbr" << qint64(1) << 128 << "cbr" << 2;
        QTest::newRow("iscbr on cbr") << "iscbr" << qint64(1) << 128 << "cbr" << 0;
        QTest::newRow("both reject all") << "isvbr iscbr" << qint64(1) << 128 << "vbr" << 2;
        QTest::newRow("mbr without number") << "mbr:" << qint64(1) << -1 << "" << 0;
        QTest::newRow("no bitrate fails a minimum") << "minbitrate:128" << qint64(1) << -1 << "" << 2;
        QTest::newRow("bitrate at the minimum") << "mbr:128" << qint64(1) << 128 << "" << 0;
        QTest::newRow("bitrate below") << "mbr:128" << qint64(1) << 127 << "" << 2;
        QTest::newRow("one byte short") << "mfs:5" << qint64(4999999) << -1 << "" << 2;
        QTest::newRow("at the size") << "minfilesize:5" << qint64(5000000) << -1 << "" << 0;
        // 10^14 MB is beyond 64 bits in bytes: the limit holds at the top
        // instead of wrapping round.
        QTest::newRow("huge size saturates") << "mfs:100000000000000" << qint64(9223372036854775806LL) << -1 << "" << 2;
        QTest::newRow("huge negative is no limit") << "mfs:-100000000000000" << qint64(0) << -1 << "" << 0;
    }

    void AttributeLimits()
    {
        QFETCH(QString, filter);
        QFETCH(qint64, size);
        QFETCH(int, bitrate);
        QFETCH(QString, mode);
        QFETCH(int, result);
        QCOMPARE(Match(filter, QStringLiteral("name"), File(size, bitrate, mode.toLatin1().constData())), result);
        // A folder name (no item) is never held to the file limits.
        QCOMPARE(Match(filter, QStringLiteral("name")), 0);
    }

    void FlagsOfTheTokens()
    {
        FilterParser l_none, l_bitrate, l_count;
        l_none.Parse(QStringLiteral("word -other"));
        l_bitrate.Parse(QStringLiteral("mbr:abc"));
        l_count.Parse(QStringLiteral("mfif:2 mfif:3"));
        QVERIFY(!l_none.HasAttributes());
        QVERIFY(l_bitrate.HasAttributes());
        QVERIFY(!l_count.HasAttributes());
        QCOMPARE(l_count.MinFilesInFolder(), 3);
    }

    // Down a tree: the folder passes on what it lacks; exclusions and
    // limits hold at every level below.
    void RemainderDownATree()
    {
        FilterParser l_filter, l_inJazz, l_inDemos;
        l_filter.Parse(QStringLiteral("jazz live -demo mfif:2"));
        QCOMPARE(l_filter.IsMatching(QStringLiteral("Jazz"), &l_inJazz, Item()), 1);
        QCOMPARE(l_inJazz.MinFilesInFolder(), 2);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live in Paris.mp3"), nullptr, Item()), 0);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live demo.mp3"), nullptr, Item()), 2);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Studio.mp3"), nullptr, Item()), 1);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Demos"), &l_inDemos, Item()), 2);

        // Every missing word is collected, and an old remainder is emptied.
        FilterParser l_three, l_rest;
        l_three.Parse(QStringLiteral("a b c"));
        QCOMPARE(l_three.IsMatching(QStringLiteral("b"), &l_rest, Item()), 1);
        QCOMPARE(l_rest.IsMatching(QStringLiteral("ca"), nullptr, Item()), 0);
        QCOMPARE(l_three.IsMatching(QStringLiteral("abc"), &l_rest, Item()), 0);
        QCOMPARE(l_rest.IsMatching(QStringLiteral("zzz"), nullptr, Item()), 0);
    }

    void OneHelpDialogAtATime()
    {
        QWidget l_page, l_otherPage;
        FilterHelpDialog::ShowHelp(&l_page);
        FilterHelpDialog* lp_first = filterHelpDialog;
        QVERIFY(lp_first && lp_first->isVisible());
        FilterHelpDialog::ShowHelp(&l_otherPage);
        QCOMPARE(filterHelpDialog, lp_first);
        lp_first->close();
        QTRY_VERIFY(!filterHelpDialog);
        FilterHelpDialog::ShowHelp(&l_otherPage);
        QVERIFY(filterHelpDialog && filterHelpDialog->parentWidget() == &l_otherPage);
        delete filterHelpDialog;
        QVERIFY(!filterHelpDialog);
    }
};

QTEST_MAIN(FilterTest)
#include "FilterTest.moc"
