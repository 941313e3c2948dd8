#ifndef QUILLMAR_STORE_WINDOWS_DATADIALOG_H
#define QUILLMAR_STORE_WINDOWS_DATADIALOG_H

// The store browser, a debugging window: the types, then the items of the
// chosen type, then the items linked to the chosen item (double-click one to
// go to it). Lists are read when shown or refreshed, not kept live.

#include "store/Data.h"

#include <QDialog>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QTreeWidget;
class QTreeWidgetItem;

class DataDialog : public QDialog
{
    Q_OBJECT

public:
    DataDialog(Data* ip_data, QWidget* ip_parent = nullptr);
    ~DataDialog() override;

    // Items listed per type at most; the rest is counted, not shown.
    static constexpr int MAX_LISTED_ITEMS = 5000;

    QListWidget* TypeList() const { return mp_types; }
    QListWidget* ItemList() const { return mp_items; }
    QTreeWidget* LinkTree() const { return mp_links; }
    // Selects a type and one of its items, as a double-click on a link does.
    void ShowItem(Item const& i_item);

public slots:
    void Refresh();
    void OnTypeSelected();
    void OnItemSelected();
    void OnLinkActivated(QTreeWidgetItem* ip_row, int i_column);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    Item SelectedItem() const;

    Data* mp_data;
    QListWidget* mp_types;
    QListWidget* mp_items;
    QTreeWidget* mp_links;
    QLabel* mp_status;
    std::vector<Item> m_listedItems;   // parallel to the rows of mp_items
    std::vector<Item> m_listedLinks;   // parallel to the rows of mp_links
};

extern DataDialog* dataDialog;

#endif
