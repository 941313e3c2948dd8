#ifndef QUILLMAR_STORE_WINDOWS_FOCUSWIDGET_H
#define QUILLMAR_STORE_WINDOWS_FOCUSWIDGET_H

class QWidget;

// Activates the widget's window, gives the widget focus and makes every
// enclosing tab widget show the page that holds it.
void FocusWidgetAndParents(QWidget* ip_widget);
inline void FocusWidget(QWidget* ip_widget) { FocusWidgetAndParents(ip_widget); }

#endif
