#ifndef QUILLMAR_UI_WIDGETS_TABWIDGET_H
#define QUILLMAR_UI_WIDGETS_TABWIDGET_H

#include "ui/widgets/OutsideText.h"

#include <QHash>
#include <QTabBar>
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

// The tab bar of a TabWidget. QTabBar lays every tab out again whenever one
// comes or goes, measuring each title (shaping its text) and, where it
// elides, measuring it once more: with hundreds of tabs of names in many
// scripts a new tab cost over 100 ms. Here a tab's size is measured once
// for its title, and titles are not elided (they are bounded: TabTitle), so
// a new tab costs the same whatever the other titles are.
class TitleBar : public QTabBar
{
    Q_OBJECT

public:
    explicit TitleBar(QWidget* ip_parent = nullptr);

    // Titles measured, counted where the measuring is done.
    int Measured() const { return m_measured; }

protected:
    QSize tabSizeHint(int i_index) const override;
    void changeEvent(QEvent* ip_event) override;

private:
    mutable QHash<QString, QSize> m_sizes;
    mutable int m_measured = 0;
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
