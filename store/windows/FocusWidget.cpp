#include "store/windows/FocusWidget.h"

#include <QTabWidget>
#include <QWidget>

#include <vector>

void FocusWidgetAndParents(QWidget* ip_widget)
{
    if (!ip_widget)
        return;
    ip_widget->activateWindow();
    ip_widget->setFocus(Qt::OtherFocusReason);
    // Walk upward: at every tab widget, the page on our path becomes current.
    std::vector<QWidget*> l_path{ip_widget};
    for (QWidget* lp_parent = ip_widget->parentWidget(); lp_parent; lp_parent = lp_parent->parentWidget()) {
        if (QTabWidget* lp_tabs = qobject_cast<QTabWidget*>(lp_parent)) {
            for (QWidget* lp_step : l_path) {
                int const l_index = lp_tabs->indexOf(lp_step);
                if (l_index >= 0) {
                    lp_tabs->setCurrentIndex(l_index);
                    break;
                }
            }
        }
        l_path.push_back(lp_parent);
    }
}
