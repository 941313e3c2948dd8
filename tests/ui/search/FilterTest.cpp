#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"
#include "server/StoreTypes.h"

#include <QtTest>

// A filter against a text and its expected result. A size of -1 tests the
// text alone (a folder name); otherwise a file with that size and, when
// given, that bitrate (-1: none) and mode.
struct MatchCase
{
    char const* mp_filter;
    char const* mp_text;
    int m_result;
    qint64 m_size = -1;
    int m_bitrate = -1;
    char const* mp_mode = "";
};
Q_DECLARE_METATYPE(MatchCase)

class FilterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        EnsureType("search_result", INTERMEDIATE, true, true);
        for (char const* lp_attribute : {"file_size", "bitrate", "bitrate_mode"})
            EnsureAttribute("search_result", lp_attribute);
    }

    void Matching_data()
    {
        QTest::addColumn<MatchCase>("row");
        auto const l_row = [](char const* ip_name, MatchCase const& i_case) { QTest::newRow(ip_name) << i_case; };
        l_row("empty", {"", "anything", 0});
        l_row("blank runs separate", {"a  b", "xbxa", 0});
        l_row("a word missing", {"a  b", "xa", 1});
        l_row("tab is part of a word", {"a\tb", "a b", 1});
        l_row("substring, any case", {"MP3 rock", "Shamrock song.mp3", 0});
        l_row("lone dash ignored", {"-", "x", 0});
        l_row("dashed keyword is a word", {"--isvbr", "-isvbr live", 2});
        l_row("keywords are case-sensitive", {"Isvbr Mbr:128", "isvbr mbr:128", 0});
        l_row("a folder meets no limit", {"isvbr mfs:5", "x", 0});
        l_row("isvbr on vbr", {"isvbr", "x", 0, 1, 128, "vbr"});
        l_row("both reject all", {"isvbr iscbr", "x", 2, 1, 128, "vbr"});
        l_row("isvbr on cbr", {"minfilesize:0 isvbr", "x", 2, 1, 128, "cbr"});
        l_row("mbr without number", {"mbr:", "x", 0, 1});
        l_row("no bitrate fails a minimum", {"minbitrate:128", "x", 2, 1});
        l_row("bitrate below", {"mbr:128", "x", 2, 1, 127});
        l_row("one byte short", {"mfs:5", "x", 2, 4999999});
        // 10^14 MB is beyond 64 bits in bytes: the limit holds at the top
        // instead of wrapping round.
        l_row("huge size saturates", {"mfs:100000000000000", "x", 2, 9223372036854775806LL});
        l_row("huge negative is no limit", {"mfs:-100000000000000", "x", 0, 0});
    }

    void Matching()
    {
        QFETCH(MatchCase, row);
        Item l_file;
        if (row.m_size >= 0) {
            l_file = d["search_result"]->NewItem();
            SetAttribute(l_file, "file_size", Value(static_cast<long long>(row.m_size)));
            if (row.m_bitrate >= 0)
                SetAttribute(l_file, "bitrate", Value(row.m_bitrate));
            if (*row.mp_mode)
                SetAttribute(l_file, "bitrate_mode", Value(row.mp_mode));
        }
        FilterParser l_filter;
        l_filter.Parse(row.mp_filter);
        QCOMPARE(l_filter.IsMatching(row.mp_text, nullptr, l_file), row.m_result);
    }

    // Down a tree: the folder passes on what it lacks; exclusions and
    // limits hold at every level below.
    void RemainderDownATree()
    {
        FilterParser l_filter, l_inJazz, l_inDemos;
        l_filter.Parse(QStringLiteral("jazz live -demo mfif:2 mfif:3"));
        QVERIFY(!l_filter.HasAttributes());
        QCOMPARE(l_filter.IsMatching(QStringLiteral("Jazz"), &l_inJazz, Item()), 1);
        QCOMPARE(l_inJazz.MinFilesInFolder(), 3);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live in Paris.mp3"), nullptr, Item()), 0);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Live demo.mp3"), nullptr, Item()), 2);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Studio.mp3"), nullptr, Item()), 1);
        QCOMPARE(l_inJazz.IsMatching(QStringLiteral("Demos"), &l_inDemos, Item()), 2);

        // Every missing word is collected, and an old remainder is emptied.
        FilterParser l_three, l_rest;
        l_three.Parse(QStringLiteral("a b c mbr:abc"));
        QVERIFY(l_three.HasAttributes());
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
    }
};

QTEST_MAIN(FilterTest)
#include "FilterTest.moc"
