#include "store/windows/DataDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

DataDialog* dataDialog = nullptr;

namespace {

QString ItemText(Item const& i_item)
{
    if (i_item.GetType()->IsNull())
        return QString("#%1").arg(i_item.Serial());
    return i_item.AsString();
}

} // namespace

DataDialog::DataDialog(Data* ip_data, QWidget* ip_parent)
    : QDialog(ip_parent), mp_data(ip_data), mp_types(new QListWidget), mp_items(new QListWidget),
      mp_links(new QTreeWidget), mp_status(new QLabel)
{
    setWindowTitle("Data");
    resize(900, 500);
    mp_links->setColumnCount(2);
    mp_links->setHeaderLabels({"Type", "Value"});
    mp_links->setRootIsDecorated(false);
    mp_links->header()->setStretchLastSection(true);

    QSplitter* lp_splitter = new QSplitter;
    lp_splitter->addWidget(mp_types);
    lp_splitter->addWidget(mp_items);
    lp_splitter->addWidget(mp_links);
    QPushButton* lp_refresh = new QPushButton("Refresh");
    QHBoxLayout* lp_bottom = new QHBoxLayout;
    lp_bottom->addWidget(mp_status, 1);
    lp_bottom->addWidget(lp_refresh);
    QVBoxLayout* lp_layout = new QVBoxLayout(this);
    lp_layout->addWidget(lp_splitter, 1);
    lp_layout->addLayout(lp_bottom);

    connect(lp_refresh, &QPushButton::clicked, this, &DataDialog::Refresh);
    connect(mp_types, &QListWidget::itemSelectionChanged, this, &DataDialog::OnTypeSelected);
    connect(mp_items, &QListWidget::itemSelectionChanged, this, &DataDialog::OnItemSelected);
    connect(mp_links, &QTreeWidget::itemDoubleClicked, this, &DataDialog::OnLinkActivated);
    dataDialog = this;
    Refresh();
}

DataDialog::~DataDialog()
{
    if (dataDialog == this)
        dataDialog = nullptr;
}

void DataDialog::showEvent(QShowEvent* ip_event)
{
    QDialog::showEvent(ip_event);
    Refresh();
}

void DataDialog::Refresh()
{
    QString const l_selected = mp_types->currentItem() ? mp_types->currentItem()->data(Qt::UserRole).toString()
                                                        : QString();
    mp_types->blockSignals(true);
    mp_types->clear();
    for (Type* lp_type : mp_data->GetTypes()) {
        QString const l_name = QString::fromStdString(lp_type->GetName());
        QListWidgetItem* lp_row =
            new QListWidgetItem(QString("%1 (%2)").arg(l_name).arg(lp_type->GetItemCount()), mp_types);
        lp_row->setData(Qt::UserRole, l_name);
        if (l_name == l_selected)
            mp_types->setCurrentItem(lp_row);
    }
    mp_types->blockSignals(false);
    mp_status->setText(QString("%1 types, %2 items").arg(mp_data->GetTypes().size()).arg(mp_data->ItemCount()));
    OnTypeSelected();
}

void DataDialog::OnTypeSelected()
{
    mp_items->blockSignals(true);
    mp_items->clear();
    m_listedItems.clear();
    QListWidgetItem* lp_row = mp_types->currentItem();
    std::string const l_name = lp_row ? lp_row->data(Qt::UserRole).toString().toStdString() : std::string();
    if (lp_row && mp_data->HasType(l_name)) {
        ItemSet const l_items = mp_data->GetType(l_name)->GetItems();
        for (Item const& l_item : l_items) {
            if (int(m_listedItems.size()) == MAX_LISTED_ITEMS) {
                new QListWidgetItem(QString("... %1 more").arg(l_items.size() - MAX_LISTED_ITEMS), mp_items);
                break;
            }
            m_listedItems.push_back(l_item);
            new QListWidgetItem(ItemText(l_item), mp_items);
        }
    }
    mp_items->blockSignals(false);
    OnItemSelected();
}

Item DataDialog::SelectedItem() const
{
    int const l_row = mp_items->currentRow();
    if (l_row < 0 || l_row >= int(m_listedItems.size()))
        return Item();
    return m_listedItems[std::size_t(l_row)];
}

void DataDialog::OnItemSelected()
{
    mp_links->clear();
    m_listedLinks.clear();
    Item const l_item = SelectedItem();
    if (l_item.IsNull())
        return;
    for (Type::Relation const& l_relation : l_item.GetType()->GetRelations()) {
        for (Item const& l_linked : l_item.GetItems(l_relation.mp_other->GetName().c_str())) {
            QTreeWidgetItem* lp_row = new QTreeWidgetItem(mp_links);
            lp_row->setText(0, QString::fromStdString(l_relation.mp_other->GetName()));
            lp_row->setText(1, ItemText(l_linked));
            m_listedLinks.push_back(l_linked);
        }
    }
}

void DataDialog::OnLinkActivated(QTreeWidgetItem* ip_row, int)
{
    int const l_index = mp_links->indexOfTopLevelItem(ip_row);
    if (l_index >= 0 && l_index < int(m_listedLinks.size()))
        ShowItem(m_listedLinks[std::size_t(l_index)]);
}

void DataDialog::ShowItem(Item const& i_item)
{
    if (i_item.IsNull())
        return;
    Item const l_item = i_item; // the lists below are rebuilt
    QString const l_typeName = QString::fromStdString(l_item.GetTypeName());
    for (int l_row = 0; l_row < mp_types->count(); ++l_row)
        if (mp_types->item(l_row)->data(Qt::UserRole).toString() == l_typeName) {
            mp_types->setCurrentRow(l_row);
            break;
        }
    for (std::size_t l_index = 0; l_index < m_listedItems.size(); ++l_index)
        if (m_listedItems[l_index] == l_item) {
            mp_items->setCurrentRow(int(l_index));
            return;
        }
}
