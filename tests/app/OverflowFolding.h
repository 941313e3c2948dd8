#ifndef QUILLMAR_TESTS_APP_OVERFLOWFOLDING_H
#define QUILLMAR_TESTS_APP_OVERFLOWFOLDING_H

// What the tool bars' tests do with the » overflow: open it, and let the
// pointer leave the bar, which folds it back with the window's animation.

#include <QAbstractAnimation>
#include <QApplication>
#include <QEvent>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

// The bar's height once folded, or -1 when it offered no » or did not open
// or begin to fold. The bar is open in full before the pointer leaves.
inline int OpenOverflowAndLeave(QToolBar* ip_bar)
{
    QToolButton* lp_more = ip_bar->findChild<QToolButton*>("qt_toolbar_ext_button");
    if (!lp_more || !WaitUntil([lp_more]() { return lp_more->isVisible(); }))
        return -1;
    int const l_folded = ip_bar->height();
    QTest::mouseClick(lp_more, Qt::LeftButton);
    if (!WaitUntil([ip_bar, l_folded]() {
            return ip_bar->height() > l_folded && ip_bar->findChildren<QAbstractAnimation*>().isEmpty();
        }))
        return -1;
    QEvent l_leave(QEvent::Leave);
    QApplication::sendEvent(ip_bar, &l_leave);
    return lp_more->isChecked() ? -1 : l_folded;
}

// The bar offers » for what does not fit.
inline bool OffersOverflow(QToolBar* ip_bar)
{
    QToolButton* lp_more = ip_bar->findChild<QToolButton*>("qt_toolbar_ext_button");
    return lp_more && lp_more->isVisible();
}

#endif
