#include "store/DelayedInvoker.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"
#include "store/windows/FocusWidget.h"

#include <QLineEdit>
#include <QTabWidget>
#include <QtTest>

// A target for deferred calls that counts them.
class Counter : public QObject
{
    Q_OBJECT
public:
    int m_calls = 0;
    bool m_reinvoke = false;
public slots:
    void Sort()
    {
        ++m_calls;
        if (m_reinvoke) {
            m_reinvoke = false;
            delayedInvoker->Invoke(this, SLOT(Sort()), 0);
        }
    }
    void Other() { ++m_calls; }
};

class ServicesTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        d.Reset();
        DeclareSettingsTypes();
    }

    void PathHelpers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("folder");
        QTest::newRow("empty") << "" << "" << "";
        QTest::newRow("plain") << "song.mp3" << "song.mp3" << "song.mp3";
        QTest::newRow("backslashes") << "music\\rock\\song.mp3" << "song.mp3" << "music\\rock";
        QTest::newRow("slashes") << "/home/me/a.txt" << "a.txt" << "/home/me";
        QTest::newRow("mixed") << "c:\\x/y\\z" << "z" << "c:\\x/y";
        QTest::newRow("one trailing") << "music\\rock\\" << "rock" << "music";
        QTest::newRow("two trailing slashes") << "a/b//" << "" << "a/b";
        QTest::newRow("trailing backslashes") << "a\\b\\\\\\" << "" << "a\\b\\";
        QTest::newRow("all backslashes") << "\\\\" << "" << "";
        QTest::newRow("root slash") << "/" << "" << "";
    }

    void PathHelpers()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        QFETCH(QString, folder);
        std::string const l_path = path.toStdString();
        QCOMPARE(QString::fromStdString(GetFileName(l_path)), fileName);
        QCOMPARE(QString::fromStdString(GetFolder(l_path)), folder);
    }

    void FormatSecondsTable_data()
    {
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0LL << "0m0s";
        QTest::newRow("245") << 245LL << "4m5s";
        QTest::newRow("hour") << 3600LL << "1h0m0s";
        QTest::newRow("hours") << 7384LL << "2h3m4s";
        QTest::newRow("day, no hours") << 86400LL + 61 << "1d0h1m1s";
        QTest::newRow("days") << 3 * 86400LL + 5 * 3600 + 7 << "3d5h0m7s";
        QTest::newRow("negative") << -5LL << "0m0s";
    }

    void FormatSecondsTable()
    {
        QFETCH(qlonglong, seconds);
        QFETCH(QString, text);
        QCOMPARE(FormatSeconds(long(seconds)), text);
    }

    void TextHelpers()
    {
        QCOMPARE(ReversePathname("music\\rock/album\\"), QString("album/rock/music"));
        QCOMPARE(ReversePathname("single"), QString("single"));
        QCOMPARE(ReversePathname("\\home\\u/music"), QString("music/u/home"));
        QCOMPARE(ReversePathname("\\\\"), QString(""));

        QCOMPARE(CommafyNumber(0), QString());
        QCOMPARE(CommafyNumber(-5), QString());
        QCOMPARE(CommafyNumber(999), QString("999"));
        QCOMPARE(CommafyNumber(1000), QString("1,000"));
        QCOMPARE(CommafyNumber(1234567), QString("1,234,567"));
        QCOMPARE(CommafyNumber(9223372036854775807LL), QString("9,223,372,036,854,775,807"));

        QCOMPARE(ToQString("\xC3\xA9t\xC3\xA9"), QString::fromUtf8("été"));
    }

    void CodePageFollowsTheSetting()
    {
        std::string const l_cyrillic("\xCF\xF0\xE8\xE2\xE5\xF2"); // "Привет" in windows-1251
        {
            ExtendedAsciiTranslator l_translator;
            QVERIFY(!l_translator.GetCodec());
            QCOMPARE(ToQString(l_cyrillic), QString::fromLatin1(l_cyrillic.c_str()));

            l_translator.SetCodePage("windows-1251");
            QCOMPARE(GetSetting("extended_ascii_codepage"), QString("windows-1251"));
            QCOMPARE(ToQString(l_cyrillic), QString::fromUtf8("Привет"));
            // Valid UTF-8 is never sent through the code page.
            QCOMPARE(ToQString("\xD0\x9F"), QString::fromUtf8("П"));

            // The setting changed another way (a load, an option page) is followed.
            SetSetting("extended_ascii_codepage", QString("ISO-8859-7"));
            QCOMPARE(ToQString("\xE1"), QString::fromUtf8("α"));

            SetSetting("extended_ascii_codepage", QString("no-such-codec"));
            QVERIFY(!l_translator.GetCodec());
            QCOMPARE(ToQString("\xE9"), QString::fromUtf8("é"));
            l_translator.SetCodePage("");
            QVERIFY(!l_translator.GetCodec());
        }
        QVERIFY(!extendedAsciiTranslator);
        // A translator made after the setting was loaded picks it up.
        SetSetting("extended_ascii_codepage", QString("windows-1251"));
        ExtendedAsciiTranslator l_late;
        QCOMPARE(ToQString(l_cyrillic), QString::fromUtf8("Привет"));
    }

    void TimersRepeat()
    {
        TimerManager l_timers(20, 60, 100000);
        QSignalSpy l_tick(&l_timers, &TimerManager::timeout);
        QSignalSpy l_five(&l_timers.m_fiveMinutesTimer, &QTimer::timeout);
        QSignalSpy l_hour(&l_timers.m_hourTimer, &QTimer::timeout);
        QTRY_VERIFY(l_tick.count() >= 3 && l_five.count() >= 1);
        QCOMPARE(l_hour.count(), 0);
    }

    void DeferredCalls()
    {
        DelayedInvoker l_invoker;
        Counter l_counter;
        for (int l_request = 0; l_request < 5; ++l_request)
            l_invoker.Invoke(&l_counter, SLOT(Sort()), 30);
        l_invoker.Invoke(&l_counter, SLOT(Other()), 30);
        QCOMPARE(l_counter.m_calls, 0);
        QTRY_COMPARE(l_counter.m_calls, 2);
        // A later call has run, so any stray repeat would have run before it.
        Counter l_later;
        l_invoker.Invoke(&l_later, SLOT(Sort()), 60);
        QTRY_COMPARE(l_later.m_calls, 1);
        QCOMPARE(l_counter.m_calls, 2);

        // A slot may ask for itself again; that request is a new one.
        l_counter.m_reinvoke = true;
        l_invoker.Invoke(&l_counter, SLOT(Sort()), 0);
        QTRY_COMPARE(l_counter.m_calls, 4);

        // A call to a deleted target is dropped.
        Counter* lp_doomed = new Counter;
        l_invoker.Invoke(lp_doomed, SLOT(Sort()), 10);
        delete lp_doomed;
        // A new object at (possibly) the same address does not inherit the call.
        Counter l_survivor;
        Counter l_witness;
        l_invoker.Invoke(&l_witness, SLOT(Sort()), 20);
        QTRY_COMPARE(l_witness.m_calls, 1);
        QCOMPARE(l_survivor.m_calls, 0);
        // Deleting the invoker with calls pending calls nothing either.
        Counter l_late;
        {
            DelayedInvoker l_shortLived;
            l_shortLived.Invoke(&l_late, SLOT(Sort()), 10);
        }
        Counter l_after;
        l_invoker.Invoke(&l_after, SLOT(Sort()), 40);
        QTRY_COMPARE(l_after.m_calls, 1);
        QCOMPARE(l_late.m_calls, 0);
    }

    void FocusShowsEveryEnclosingTab()
    {
        QTabWidget l_outer;
        l_outer.addTab(new QWidget, "first");
        QWidget* lp_page = new QWidget;
        QTabWidget* lp_inner = new QTabWidget(lp_page);
        l_outer.addTab(lp_page, "second");
        lp_inner->addTab(new QWidget, "a");
        QWidget* lp_chat = new QWidget;
        QLineEdit* lp_edit = new QLineEdit(lp_chat);
        lp_inner->addTab(lp_chat, "b");
        l_outer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_outer));
        FocusWidget(lp_edit);
        QCOMPARE(l_outer.currentIndex(), 1);
        QCOMPARE(lp_inner->currentIndex(), 1);
        QTRY_COMPARE(QApplication::focusWidget(), lp_edit);
        FocusWidgetAndParents(nullptr); // harmless
    }
};

QTEST_MAIN(ServicesTest)
#include "ServicesTest.moc"
