#include "ui/widgets/TabWidget.h"

#include <QColor>
#include <QEvent>
#include <QTabBar>
#include <QVariant>

namespace {

char const* const s_focusProperty = "get_focus";

// Walks from the widget to the top; for every ancestor that the filter
// accepts, calls the visitor with the first widget of the path below it that
// is one of its pages (and that page's index). The visitor returns false to
// stop the walk.
template <class Filter, class Visitor>
void WalkEnclosingTabs(QWidget* ip_widget, Filter i_filter, Visitor i_visitor)
{
    QList<QWidget*> l_path;
    l_path.append(ip_widget);
    for (QWidget* lp_parent = ip_widget->parentWidget(); lp_parent; lp_parent = lp_parent->parentWidget()) {
        if (QTabWidget* lp_tabs = i_filter(lp_parent)) {
            for (QWidget* lp_step : l_path) {
                int l_index = lp_tabs->indexOf(lp_step);
                if (l_index >= 0) {
                    if (!i_visitor(lp_tabs, l_index))
                        return;
                    break;
                }
            }
        }
        l_path.append(lp_parent);
    }
}

} // namespace

TitleBar::TitleBar(QWidget* ip_parent)
    : QTabBar(ip_parent)
{
    setElideMode(Qt::ElideNone);
}

QSize TitleBar::tabSizeHint(int i_index) const
{
    // What else a tab's size depends on: its icon, the widgets beside its
    // title (a close button) and the bar's shape.
    QString l_key = tabText(i_index);
    l_key += QChar(tabIcon(i_index).isNull() ? '0' : '1');
    for (ButtonPosition const l_side : {LeftSide, RightSide}) {
        QWidget const* lp_button = tabButton(i_index, l_side);
        l_key += QString::number(lp_button ? lp_button->sizeHint().width() : -1) + QLatin1Char(',');
    }
    l_key += QString::number(int(shape())) + QLatin1Char(',') + QString::number(iconSize().width());
    auto const l_found = m_sizes.constFind(l_key);
    if (l_found != m_sizes.constEnd())
        return *l_found;
    // Tabs that went leave their sizes behind.
    if (m_sizes.size() > 2 * count() + 16)
        m_sizes.clear();
    ++m_measured;
    return *m_sizes.insert(l_key, QTabBar::tabSizeHint(i_index));
}

void TitleBar::changeEvent(QEvent* ip_event)
{
    if (ip_event->type() == QEvent::FontChange || ip_event->type() == QEvent::StyleChange)
        m_sizes.clear();
    QTabBar::changeEvent(ip_event);
}

TabWidget::TabWidget(QWidget* ip_parent)
    : QTabWidget(ip_parent)
{
    setTabBar(new TitleBar(this));
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

void TabWidget::MarkTabActivity(QWidget* ip_widget)
{
    if (!ip_widget)
        return;
    WalkEnclosingTabs(
        ip_widget, [](QWidget* ip_w) -> QTabWidget* { return qobject_cast<TabWidget*>(ip_w); },
        [](QTabWidget* ip_tabs, int i_index) {
            if (i_index != ip_tabs->currentIndex())
                ip_tabs->tabBar()->setTabTextColor(i_index, QColor(Qt::blue));
            return true;
        });
}

void TabWidget::OnTabChanged(int i_tab)
{
    if (i_tab < 0)
        return;
    if (QWidget* lp_page = widget(i_tab))
        FindWidgetFocusProperty(lp_page, 0);
    tabBar()->setTabTextColor(i_tab, QColor());
}

RoomTabWidget::RoomTabWidget(QWidget* ip_parent)
    : TabWidget(ip_parent)
{
}

void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_rank)
{
    if (!ip_widget)
        return;
    ip_widget->setProperty(s_focusProperty, i_rank);
    if (ip_widget->isVisible())
        ip_widget->setFocus(Qt::OtherFocusReason);
}

int FindWidgetFocusProperty(QWidget* ip_root, int i_rank)
{
    if (!ip_root || !ip_root->isVisible())
        return i_rank;
    int l_best = i_rank;
    // Only a strictly higher rank moves the focus, so on equal ranks the
    // first widget keeps it.
    auto l_consider = [&l_best](QWidget* ip_widget) {
        QVariant const l_rank = ip_widget->property(s_focusProperty);
        if (l_rank.isValid() && l_best < l_rank.toInt()) {
            ip_widget->setFocus(Qt::OtherFocusReason);
            l_best = l_rank.toInt();
        }
    };
    l_consider(ip_root);
    // Depth-first over every descendant, in the order the recursive child
    // search lists them.
    for (QWidget* lp_child : ip_root->findChildren<QWidget*>())
        if (lp_child->isVisible())
            l_consider(lp_child);
    return l_best;
}

QTabWidget* GetWidgetTabWidget(QWidget* ip_widget, int& io_index)
{
    if (!ip_widget)
        return nullptr;
    QTabWidget* lp_found = nullptr;
    WalkEnclosingTabs(
        ip_widget, [](QWidget* ip_w) { return qobject_cast<QTabWidget*>(ip_w); },
        [&](QTabWidget* ip_tabs, int i_index) {
            lp_found = ip_tabs;
            io_index = i_index;
            return false;
        });
    return lp_found;
}
