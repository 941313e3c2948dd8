#ifndef QUILLMAR_UI_WIDGETS_TABWIDGET_H
#define QUILLMAR_UI_WIDGETS_TABWIDGET_H

#include "ui/widgets/OutsideText.h"

#include <QTabWidget>

// A tab row whose titles turn blue when something happens on a hidden page,
// and which hands keyboard focus to the page's chosen widget (see
// RegisterWidgetForTabFocus) when a tab is selected.
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* ip_parent = nullptr);

    // Marks, in every enclosing TabWidget, the tab holding the widget, unless
    // that tab is the current one at its level.
    static void MarkTabActivity(QWidget* ip_widget);

public slots:
    void OnTabChanged(int i_tab);
};

// The tab row of the private chats; it behaves as any TabWidget.
class RoomTabWidget : public TabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* ip_parent = nullptr);
};

// Focus ranks: the dynamic property "get_focus" on a widget. When a tab is
// selected, the visible widget of highest rank (1 or more) on its page gets
// the keyboard focus.
void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_rank);
int FindWidgetFocusProperty(QWidget* ip_root, int i_rank);
// The nearest enclosing tab widget that has a page holding the widget, with
// that page's index in io_index; null (io_index untouched) when there is none.
QTabWidget* GetWidgetTabWidget(QWidget* ip_widget, int& io_index);

#endif
