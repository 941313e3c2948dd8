#include "store/windows/ItemLogDialog.h"

#include "store/Log.h"
#include "store/Utilities.h"

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>

#include <map>

namespace {

QPlainTextEdit* NewView()
{
    QPlainTextEdit* lp_view = new QPlainTextEdit;
    lp_view->setReadOnly(true);
    lp_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    return lp_view;
}

} // namespace

ItemLogDialog::ItemLogDialog(Item i_item, QWidget* ip_parent) : QDialog(ip_parent), mp_tabs(new QTabWidget)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(i_item.IsNull() ? QString("Log") : QString("Log of %1").arg(LiteralWindowTitle(i_item.AsString())));
    resize(700, 400);
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    lp_layout->addWidget(mp_tabs);

    QPlainTextEdit* lp_all = NewView();
    mp_tabs->addTab(lp_all, "All");
    std::map<QString, QPlainTextEdit*> l_areas;
    for (auto const& l_entry : GetItemLog(i_item)) {
        lp_all->appendPlainText(l_entry.second);
        QPlainTextEdit*& lp_area = l_areas[l_entry.first];
        if (!lp_area) {
            lp_area = NewView();
            mp_tabs->addTab(lp_area, l_entry.first);
        }
        lp_area->appendPlainText(l_entry.second);
    }
}
