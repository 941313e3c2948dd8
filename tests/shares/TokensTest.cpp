#include "shares/SearchTokens.h"

#include <QtTest>

// The tokens of a lower-cased path, in the order they are found: the plain
// words first, then the words between blanks, slashes and backslashes.
class TokensTest : public QObject
{
    Q_OBJECT
private slots:
    void Tokens_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("tokens");
        QTest::newRow("folder and name") << QString("/home/u/music/rock & roll\\ac-dc - back.mp3")
                                         << QStringList({"home", "u", "music", "rock", "roll", "ac", "dc", "back", "mp3",
                                                         "&", "ac-dc", "-", "back.mp3"});
        QTest::newRow("one letter") << QString("a") << QStringList({"a"});
        QTest::newRow("only separators") << QString("//\\ ") << QStringList();
        // ASCII other than letters and digits separates; the Latin-1 block
        // (its no-break space included) does not; everything above it does.
        QTest::newRow("ascii edges") << QString("0_z\x7f" "a") << QStringList({"0", "z", "a", "0_z\x7f" "a"});
        QTest::newRow("latin-1 stays inside") << QString::fromUtf8("/m/café\u00a0noir\u00ff")
                                              << QStringList({"m", QString::fromUtf8("café\u00a0noir\u00ff")});
        QTest::newRow("other scripts split in the first pass")
            << QString::fromUtf8("/m/привет мир\\東京.mp3")
            << QStringList({"m", "mp3", QString::fromUtf8("привет"), QString::fromUtf8("мир"),
                            QString::fromUtf8("東京.mp3")});
        // A character outside the basic plane is never cut in two.
        QTest::newRow("surrogate pair") << QString::fromUtf8("a\xF0\x9F\x8E\xB5" "b")
                                        << QStringList({"a", "b", QString::fromUtf8("a\xF0\x9F\x8E\xB5" "b")});
    }

    void Tokens()
    {
        QFETCH(QString, text);
        std::vector<std::string> l_tokens;
        AppendSearchTokens(text, l_tokens);
        QStringList l_found;
        for (std::string const& l_token : l_tokens)
            l_found << QString::fromStdString(l_token);
        QTEST(l_found, "tokens");
    }

    void KnownTokensAreNotAddedAgain()
    {
        std::vector<std::string> l_tokens = {"music", "rock"};
        AppendSearchTokens("rock music.ogg", l_tokens);
        QCOMPARE(l_tokens, std::vector<std::string>({"music", "rock", "ogg", "music.ogg"}));
        // A lone surrogate is encoded the way QString encodes it, so that a
        // token matches a text that Qt encoded.
        l_tokens.clear();
        QString const l_broken = QString("x") + QChar(0xD800) + "y" + QChar(0xDC00);
        AppendSearchTokens(l_broken, l_tokens);
        QCOMPARE(l_tokens.back(), l_broken.toStdString());
    }
};

QTEST_GUILESS_MAIN(TokensTest)
#include "TokensTest.moc"
