#include "shares/SearchTokens.h"

#include <QtTest>

class TokensTest : public QObject
{
    Q_OBJECT
private slots:
    void Separators();
    void PathExample();
    void ScriptsAndAccents();
    void Dedupe();
};

void TokensTest::Separators()
{
    // Edges of the three ranges: ASCII letters and digits, the Latin-1
    // supplement (no-break space included), everything above.
    QVERIFY(!IsSearchTokenSeparator(QChar('0')) && !IsSearchTokenSeparator(QChar('Z')));
    QVERIFY(IsSearchTokenSeparator(QChar('_')) && IsSearchTokenSeparator(QChar(0x7F)));
    QVERIFY(!IsSearchTokenSeparator(QChar(0x80)) && !IsSearchTokenSeparator(QChar(0xA0)));
    QVERIFY(!IsSearchTokenSeparator(QChar(0xFF)) && IsSearchTokenSeparator(QChar(0x100)));
}

void TokensTest::PathExample()
{
    QString const l_text = (QString("/home/u/Music/Rock & Roll") + "\\" + "AC-DC - Back.mp3").toLower();
    std::vector<std::string> l_tokens;
    AppendSearchTokens(l_text, l_tokens);
    std::vector<std::string> const l_expected = {"home", "u",     "music", "rock", "roll", "ac",      "dc",
                                                 "back", "mp3",   "&",     "ac-dc", "-",   "back.mp3"};
    QCOMPARE(l_tokens, l_expected);

    // Runs at the very start and end of the text count as well.
    l_tokens.clear();
    AppendSearchTokens("a", l_tokens);
    QCOMPARE(l_tokens, std::vector<std::string>({"a"}));
    l_tokens.clear();
    AppendSearchTokens("//\\ ", l_tokens);
    QVERIFY(l_tokens.empty());
}

void TokensTest::ScriptsAndAccents()
{
    std::vector<std::string> l_tokens;
    AppendSearchTokens(QString::fromUtf8("/m/café noir"), l_tokens);
    QCOMPARE(l_tokens, std::vector<std::string>({"m", "café", "noir"}));

    // Other scripts split at every character in the plain words and stay
    // whole between blanks and slashes.
    l_tokens.clear();
    AppendSearchTokens(QString::fromUtf8("/m/привет мир\\東京.mp3"), l_tokens);
    QCOMPARE(l_tokens, std::vector<std::string>({"m", "mp3", "привет", "мир", "東京.mp3"}));

    // Characters outside the basic plane (surrogate pairs) are never cut in two.
    l_tokens.clear();
    AppendSearchTokens(QString::fromUtf8("a\xF0\x9F\x8E\xB5" "b"), l_tokens);
    QCOMPARE(l_tokens, std::vector<std::string>({"a", "b", "a\xF0\x9F\x8E\xB5" "b"}));
    // A lone surrogate is encoded the way QString encodes it.
    l_tokens.clear();
    QString const l_broken = QString("x") + QChar(0xD800) + "y" + QChar(0xDC00);
    AppendSearchTokens(l_broken, l_tokens);
    QCOMPARE(l_tokens.back(), l_broken.toStdString());
    QCOMPARE(l_tokens.size(), std::size_t(3));
}

void TokensTest::Dedupe()
{
    // Tokens already known (the folder's) are not added again.
    std::vector<std::string> l_tokens = {"music", "rock"};
    AppendSearchTokens("rock music.ogg", l_tokens);
    QCOMPARE(l_tokens, std::vector<std::string>({"music", "rock", "ogg", "music.ogg"}));
    AppendSearchTokens("rock music.ogg", l_tokens);
    QCOMPARE(l_tokens.size(), std::size_t(4));
}

QTEST_GUILESS_MAIN(TokensTest)
#include "TokensTest.moc"
