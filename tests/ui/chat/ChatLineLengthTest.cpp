// The count of a chat line's rich text, which the chat views take for every
// line they show (and cut back by), made without writing the text: it must
// be the length of the text ChatLineHtml writes, for every shape of line.

#include "ui/chat/ChatRules.h"

#include <QtTest>

class ChatLineLengthTest : public QObject
{
    Q_OBJECT

private slots:
    void SameAsTheWrittenText_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("own");
        int const l_none = int(ChatTimestamps::NONE);
        QTest::newRow("plain") << l_none << "alice" << "hello" << false;
        QTest::newRow("escapes") << l_none << "a<b>" << "x & y <z> \"q\"" << false;
        QTest::newRow("blanks in pairs") << l_none << "bob" << "a  b   c    d     e" << false;
        QTest::newRow("a blank at each side of a run") << l_none << "bob" << " lead" << false;
        QTest::newRow("links") << int(ChatTimestamps::PER_MESSAGE_LONG) << "carl"
                               << "see http://a.example/x?y=1&z=2 and https://b.example/" << true;
        QTest::newRow("a link ending in &") << int(ChatTimestamps::PER_MESSAGE_SHORT) << "dora"
                                            << "http://a.example/?q&" << false;
        QTest::newRow("a link against <") << l_none << "eve" << "http://a.example/p<q>http://b.example" << true;
        QTest::newRow("a link in the name") << l_none << "http://name.example/" << "hi" << false;
        QTest::newRow("no word before") << l_none << "f" << "xhttp://a.example/ (http://b.example/)" << false;
        QTest::newRow("empty") << l_none << "" << "" << true;
    }
    void SameAsTheWrittenText()
    {
        QFETCH(int, mode);
        QFETCH(QString, user);
        QFETCH(QString, text);
        QFETCH(bool, own);
        QDateTime const l_time(QDate(2024, 1, 5), QTime(15, 7, 9), Qt::UTC);
        for (ChatColors const& l_colors : {ChatColors{}, ChatColors{"#102030", "#405060", "#708090", "#a0b0c0"}}) {
            ChatLine const l_line = ChatTextLine(ChatTimestamps(mode), l_time, user, text, own);
            QCOMPARE(ChatLineHtmlLength(l_line, l_colors), ChatLineHtml(l_line, l_colors).size());
            std::vector<ChatAddresses> l_addresses;
            for (ChatRun const& l_run : l_line)
                l_addresses.push_back(ChatWebAddresses(l_run.m_text));
            QCOMPARE(ChatLineHtmlLength(l_line, l_colors, &l_addresses), ChatLineHtml(l_line, l_colors).size());
            ChatLine const l_status = ChatStatusLine(text);
            QCOMPARE(ChatLineHtmlLength(l_status, l_colors), ChatLineHtml(l_status, l_colors).size());
        }
    }
};

QTEST_MAIN(ChatLineLengthTest)
#include "ChatLineLengthTest.moc"
