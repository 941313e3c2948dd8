#ifndef QUILLMAR_UI_WIDGETS_FOLDINGTOOLBAR_H
#define QUILLMAR_UI_WIDGETS_FOLDINGTOOLBAR_H

#include <QToolBar>

// A tool bar whose » overflow opens and folds back with the window's
// animation. While the bar is animated its layout places nothing, and once
// the animation ends it does not place what the bar was given meanwhile: a
// set of actions changed while the overflow folds would stay hidden, the
// bar blank, until » is opened again. So the bar is laid out once more
// after each animation of its geometry.
class FoldingToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit FoldingToolBar(QWidget* ip_parent = nullptr);

public slots:
    void OnGeometryAnimationFinished();

protected:
    void resizeEvent(QResizeEvent* ip_event) override;
};

#endif
