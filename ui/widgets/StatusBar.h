#ifndef QUILLMAR_UI_WIDGETS_STATUSBAR_H
#define QUILLMAR_UI_WIDGETS_STATUSBAR_H

// The main window's status bar. A message says its point first (what
// happened, what happens next) and the path it concerns last; short of
// room, the path is elided in its middle before anything of the point is,
// and the whole text is the message's tool tip. The labels at its right
// (the connection state) yield room to a message, down to a quarter of the
// bar, and are elided in turn. The bar keeps what QStatusBar keeps of a
// message (currentMessage, time-outs, clearMessage); only the showing is
// its own: QStatusBar painted a message under its permanent widgets, cut at
// their edge, with no tool tip.

#include <QLabel>
#include <QStatusBar>
#include <QString>

class QFontMetrics;

// The text shown for i_text, whose last i_pathLength characters are a path,
// in i_width pixels: whole when it fits; else the path elided in its
// middle, the point whole; else the point elided at its end.
QString ElidedStatusText(QString const& i_text, int i_pathLength, QFontMetrics const& i_metrics, int i_width);

// The length of the path that ends i_text: from its last " /" (or " " and
// the start of an isolate, then "/") on; 0 when there is none. A reason from
// an engine names its file or folder last.
int TrailingPathLength(QString const& i_text);

// The width the labels right of the message get in i_room pixels when the
// message asks for i_message and they for i_labels: what they ask while
// both fit, else what the message leaves, but never less than a quarter of
// the room (nor more than they ask).
int StatusLabelsWidth(int i_room, int i_message, int i_labels);

// A label whose text, when it does not fit, is shown elided (a path at its
// end in its middle) instead of cut; text() stays the whole text.
class ElidedLabel : public QLabel
{
public:
    explicit ElidedLabel(QWidget* ip_parent = nullptr);

    // The text; its last i_pathLength characters are a path.
    void SetText(QString const& i_text, int i_pathLength = 0);
    // What it shows in its present width.
    QString ShownText() const;
    // As high as its text, and only a few pixels wide: the bar gives the
    // width.
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* ip_event) override;

private:
    int m_pathLength = 0;
};

class StatusBar : public QStatusBar
{
    Q_OBJECT

public:
    explicit StatusBar(QWidget* ip_parent = nullptr);

    // Shows i_point followed by i_path (empty: no path), isolated, for
    // i_msecs (0: until another message or clearMessage). i_point holds what
    // joins the two ("…, in "), its names from outside isolated.
    void ShowMessage(QString const& i_point, QString const& i_path = QString(), int i_msecs = 0);
    // A label at the bar's right, after those added before; the bar takes it.
    void AddLabel(ElidedLabel* ip_label);
    ElidedLabel* MessageLabel() const { return mp_message; }

protected:
    bool event(QEvent* ip_event) override;
    void paintEvent(QPaintEvent* ip_event) override;
    void resizeEvent(QResizeEvent* ip_event) override;

private:
    void OnMessageChanged(QString const& i_text);
    // Gives the labels at the right the width StatusLabelsWidth allows.
    void Arrange();

    ElidedLabel* mp_message;
    std::vector<ElidedLabel*> m_labels;
    // The last message ShowMessage gave, and the length of its path.
    QString m_withPath;
    int m_pathLength = 0;
};

// Shows a message in the status bar of the main window that holds
// ip_widget, as StatusBar::ShowMessage does (a bar of another kind shows
// the text whole); nothing when no main window holds it.
void ShowStatusMessage(QWidget* ip_widget, QString const& i_point, QString const& i_path = QString(),
                       int i_msecs = 0);

#endif
