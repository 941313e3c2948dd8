#include "ui/widgets/FoldingToolBar.h"

#include <QAbstractAnimation>
#include <QLayout>

FoldingToolBar::FoldingToolBar(QWidget* ip_parent)
    : QToolBar(ip_parent)
{
}

void FoldingToolBar::resizeEvent(QResizeEvent* ip_event)
{
    QToolBar::resizeEvent(ip_event);
    // The window's animations of the bar are the bar's children. Queued:
    // the layout learns that the animation is over only after it says so.
    for (QAbstractAnimation* lp_animation : findChildren<QAbstractAnimation*>(QString(), Qt::FindDirectChildrenOnly))
        connect(lp_animation, &QAbstractAnimation::finished, this, &FoldingToolBar::OnGeometryAnimationFinished,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
}

void FoldingToolBar::OnGeometryAnimationFinished()
{
    if (layout())
        layout()->invalidate();
}
