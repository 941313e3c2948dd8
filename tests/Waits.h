#ifndef QUILLMAR_TESTS_WAITS_H
#define QUILLMAR_TESTS_WAITS_H

// How long a test waits for a condition before it fails. The suite runs in
// sanitizer builds, many tests at once, on machines busy with other work:
// what takes milliseconds alone may take seconds there. A wait on a
// condition ends as soon as the condition holds, so a long deadline costs
// nothing while the code is right; only a fault waits it out.
//
// Every test program is compiled with this header in front of its sources
// (tests/CMakeLists.txt). It makes the QTRY_ macros wait WAIT_MS, where Qt's
// wait 5 s, and makes the deadline a QTRY_ macro is given its longest wait:
// Qt's own wait twice as long again after a failure, to say whether more
// time would have done, which would put a failing test's longest wait at
// three times its deadline and past its CTest time-out. Other waits are
// given WAIT_MS (or a multiple, for long jobs) by hand; WaitUntil is the
// one to use for work done in slices (QTest::qWaitFor sleeps 10 ms after
// every turn of the event loop, that is after every slice).

#include <QtTest/qtestcase.h>
#include <QtTest/qtestsystem.h>

#include <QDeadlineTimer>
#include <QObject>

#include <sys/resource.h>

#include "tests/WaitMs.h"

// The processor time this thread has spent in its own code, in nanoseconds:
// what a test may bound where a benchmark would time a stall. The load of
// other processes does not lengthen it, nor does the kernel's work on the
// thread's behalf (memory reclaimed for its page faults on a machine short
// of it, which once made 13 ms of a flood's work read as 108).
inline qint64 ThreadOwnCpuNs()
{
    rusage l_usage;
    getrusage(RUSAGE_THREAD, &l_usage);
    return qint64(l_usage.ru_utime.tv_sec) * 1000000000 + qint64(l_usage.ru_utime.tv_usec) * 1000;
}

// Runs the event loop until the condition holds, at most i_timeoutMs; the
// condition is looked at every 50 ms, and the loop runs at full speed in
// between. False when the condition did not come to hold in time.
template <class Condition>
bool WaitUntil(Condition i_condition, int i_timeoutMs = WAIT_MS)
{
    if (i_condition())
        return true;
    QTest::qWait(0);
    QDeadlineTimer const l_deadline(i_timeoutMs);
    while (!i_condition()) {
        if (l_deadline.hasExpired())
            return false;
        QTest::qWait(int(qBound<qint64>(1, l_deadline.remainingTime(), 50)));
    }
    return true;
}

// Runs the event loop until a call posted to it now has run, that is until
// what was posted before it has run as well (a call put off to the loop, a
// queued signal): the marker after which a test checks that something put
// off did not happen. False past i_timeoutMs.
inline bool LoopComesRound(int i_timeoutMs = WAIT_MS)
{
    bool l_came = false;
    QObject l_context;
    QMetaObject::invokeMethod(&l_context, [&l_came]() { l_came = true; }, Qt::QueuedConnection);
    return WaitUntil([&l_came]() { return l_came; }, i_timeoutMs);
}

// Turns of the event loop (each with the deletions it deferred) until the
// condition holds, or -1 past twice WAIT_MS: for a test that counts the
// slices some work took.
template <class Condition>
int TurnsUntil(Condition i_done)
{
    QDeadlineTimer const l_deadline(2 * WAIT_MS);
    int l_turns = 0;
    while (!i_done()) {
        if (l_deadline.hasExpired())
            return -1;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ++l_turns;
    }
    return l_turns;
}

#undef QTRY_VERIFY_WITH_TIMEOUT
#undef QTRY_VERIFY2_WITH_TIMEOUT
#undef QTRY_COMPARE_WITH_TIMEOUT
#undef QTRY_VERIFY
#undef QTRY_VERIFY2
#undef QTRY_COMPARE

#define QTRY_VERIFY_WITH_TIMEOUT(expr, timeout) \
    do { \
        static_cast<void>(WaitUntil([&]() { return bool(expr); }, timeout)); \
        QVERIFY(expr); \
    } while (false)
#define QTRY_VERIFY2_WITH_TIMEOUT(expr, messageExpression, timeout) \
    do { \
        static_cast<void>(WaitUntil([&]() { return bool(expr); }, timeout)); \
        QVERIFY2(expr, messageExpression); \
    } while (false)
#define QTRY_COMPARE_WITH_TIMEOUT(expr, expected, timeout) \
    do { \
        static_cast<void>(WaitUntil([&]() { return bool((expr) == (expected)); }, timeout)); \
        QCOMPARE((expr), expected); \
    } while (false)

#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, WAIT_MS)
#define QTRY_VERIFY2(expr, messageExpression) QTRY_VERIFY2_WITH_TIMEOUT(expr, messageExpression, WAIT_MS)
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, WAIT_MS)

#endif
