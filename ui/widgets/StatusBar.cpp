#include "ui/widgets/StatusBar.h"

#include "ui/widgets/OutsideText.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLayout>
#include <QMainWindow>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

QString ElidedStatusText(QString const& i_text, int i_pathLength, QFontMetrics const& i_metrics, int i_width)
{
    if (i_metrics.horizontalAdvance(i_text) <= i_width)
        return i_text;
    int const l_pathLength = std::clamp(i_pathLength, 0, i_text.size());
    QString const l_point = i_text.left(i_text.size() - l_pathLength);
    int const l_room = i_width - i_metrics.horizontalAdvance(l_point);
    // A path elided to its mark alone says nothing of where: the point is
    // then elided instead, and the path goes.
    QChar const l_mark(0x2026);
    if (l_pathLength > 1 && l_room >= i_metrics.horizontalAdvance(QString(i_text.right(l_pathLength).front()) + l_mark))
        return l_point + i_metrics.elidedText(i_text.right(l_pathLength), Qt::ElideMiddle, l_room);
    return i_metrics.elidedText(l_point.trimmed(), Qt::ElideRight, i_width);
}

int TrailingPathLength(QString const& i_text)
{
    // A path named by an engine may come isolated: its isolate goes with it.
    int const l_space =
        std::max(i_text.lastIndexOf(QLatin1String(" /")), i_text.lastIndexOf(QStringLiteral(" \u2068/")));
    return l_space < 0 ? 0 : i_text.size() - l_space - 1;
}

int StatusLabelsWidth(int i_room, int i_message, int i_labels)
{
    int const l_room = std::max(0, i_room);
    int const l_labels = std::max(0, i_labels);
    if (i_message + l_labels <= l_room)
        return l_labels;
    return std::min(l_labels, std::max(l_room - std::max(0, i_message), l_room / 4));
}

// ------------------------------------------------------------ ElidedLabel

ElidedLabel::ElidedLabel(QWidget* ip_parent) : QLabel(ip_parent)
{
    // Names of users and servers show as they are.
    ShowLiterally(this);
}

void ElidedLabel::SetText(QString const& i_text, int i_pathLength)
{
    m_pathLength = i_pathLength;
    setText(i_text);
}

QString ElidedLabel::ShownText() const
{
    return ElidedStatusText(text(), m_pathLength, fontMetrics(), contentsRect().width() - 2 * std::max(0, margin()));
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(fontMetrics().horizontalAdvance(QChar(0x2026)), QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter l_painter(this);
    drawFrame(&l_painter);
    QRect const l_rect = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&l_painter, l_rect, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), ShownText(), foregroundRole());
}

// -------------------------------------------------------------- StatusBar

StatusBar::StatusBar(QWidget* ip_parent) : QStatusBar(ip_parent), mp_message(new ElidedLabel(this))
{
    mp_message->setObjectName(QStringLiteral("statusMessageLabel"));
    mp_message->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Permanent, so that no message hides it; it takes the room the labels
    // at its right leave.
    addPermanentWidget(mp_message, 1);
    connect(this, &QStatusBar::messageChanged, this, &StatusBar::OnMessageChanged);
}

void StatusBar::ShowMessage(QString const& i_point, QString const& i_path, int i_msecs)
{
    // A path holds names from outside (a peer's folders): isolated, it
    // cannot turn the point before it.
    QString const l_path = Isolated(i_path);
    m_withPath = i_point + l_path;
    m_pathLength = l_path.size();
    showMessage(m_withPath, i_msecs);
}

void StatusBar::AddLabel(ElidedLabel* ip_label)
{
    m_labels.push_back(ip_label);
    addPermanentWidget(ip_label);
    Arrange();
}

void StatusBar::OnMessageChanged(QString const& i_text)
{
    mp_message->SetText(i_text, i_text == m_withPath ? m_pathLength : 0);
    mp_message->setToolTip(i_text.isEmpty() ? QString() : LiteralToolTip(i_text));
    Arrange();
}

void StatusBar::Arrange()
{
    // The message and the labels share what the bar's layout gave them.
    auto const l_wants = [](ElidedLabel const* ip_label) {
        return ip_label->fontMetrics().horizontalAdvance(ip_label->text()) + 2 * std::max(0, ip_label->margin());
    };
    int l_room = mp_message->width();
    int l_wanted = 0;
    for (ElidedLabel const* lp_label : m_labels) {
        l_room += lp_label->isVisible() ? lp_label->width() : 0;
        l_wanted += l_wants(lp_label);
    }
    QString const l_message = mp_message->text();
    int const l_messageWidth = l_message.isEmpty() ? 0 : mp_message->fontMetrics().horizontalAdvance(l_message);
    int l_left = StatusLabelsWidth(l_room, l_messageWidth, l_wanted);
    // The first label is the first elided.
    for (auto lp_label = m_labels.rbegin(); lp_label != m_labels.rend(); ++lp_label) {
        int const l_asks = l_wants(*lp_label);
        int const l_given = std::min(l_asks, std::max(0, l_left));
        l_left -= l_given;
        (*lp_label)->setMaximumWidth(std::max(l_given, (*lp_label)->minimumSizeHint().width()));
        (*lp_label)->setToolTip(l_given < l_asks ? LiteralToolTip((*lp_label)->text()) : QString());
    }
}

bool StatusBar::event(QEvent* ip_event)
{
    // A label's text changed: its width follows.
    bool const l_result = QStatusBar::event(ip_event);
    if (ip_event->type() == QEvent::LayoutRequest)
        Arrange();
    return l_result;
}

void StatusBar::resizeEvent(QResizeEvent* ip_event)
{
    QStatusBar::resizeEvent(ip_event);
    Arrange();
}

void StatusBar::paintEvent(QPaintEvent*)
{
    // The panel and the frames of the labels; the message is the label's
    // to show.
    QPainter l_painter(this);
    QStyleOption l_option;
    l_option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_PanelStatusBar, &l_option, &l_painter, this);
    for (QWidget* lp_label : findChildren<ElidedLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!lp_label->isVisible() || lp_label == mp_message)
            continue;
        QStyleOption l_frame(0);
        l_frame.rect = lp_label->geometry().adjusted(-2, -1, 2, 1);
        l_frame.palette = palette();
        l_frame.state = QStyle::State_None;
        style()->drawPrimitive(QStyle::PE_FrameStatusBarItem, &l_frame, &l_painter, lp_label);
    }
}

void ShowStatusMessage(QWidget* ip_widget, QString const& i_point, QString const& i_path, int i_msecs)
{
    for (QWidget* lp_widget = ip_widget; lp_widget; lp_widget = lp_widget->parentWidget())
        if (auto* lp_window = qobject_cast<QMainWindow*>(lp_widget)) {
            if (auto* lp_bar = qobject_cast<StatusBar*>(lp_window->statusBar()))
                lp_bar->ShowMessage(i_point, i_path, i_msecs);
            else
                lp_window->statusBar()->showMessage(i_point + Isolated(i_path), i_msecs);
            return;
        }
}
