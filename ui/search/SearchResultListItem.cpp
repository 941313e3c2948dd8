#include "ui/search/SearchResultListItem.h"

#include "ui/search/ResultRows.h"

#include "shares/SharedFoldersManager.h"
#include "store/Utilities.h"

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* ip_parent) : QTreeWidgetItem(ip_parent)
{
}

SearchResultListItem::SearchResultListItem(QTreeWidget* ip_parent) : QTreeWidgetItem(ip_parent)
{
}

SearchResultListItem::~SearchResultListItem() = default;

namespace {

double Speed(QTreeWidgetItem const& i_row)
{
    return i_row.text(SearchResultListItem::SPEED).toDouble();
}

} // namespace

bool SearchResultListItem::operator<(QTreeWidgetItem const& i_other) const
{
    QTreeWidget const* lp_tree = treeWidget();
    int const l_column = lp_tree ? lp_tree->sortColumn() : 0;
    switch (l_column) {
    case FREE: {
        QString const l_free = text(FREE);
        QString const l_otherFree = i_other.text(FREE);
        if (l_free != l_otherFree) {
            if (l_free == QLatin1String("Y"))
                return false;
            if (l_otherFree == QLatin1String("Y"))
                return true;
            return l_otherFree.toLongLong() < l_free.toLongLong();
        }
        double const l_speed = Speed(*this);
        double const l_otherSpeed = Speed(i_other);
        if (l_speed != l_otherSpeed)
            return l_speed < l_otherSpeed;
        return i_other.text(FILE) < text(FILE);
    }
    case SPEED:
        return Speed(*this) < Speed(i_other);
    case USER:
    case FOLDER:
    case FILE:
        return text(l_column).toLower() < i_other.text(l_column).toLower();
    case SIZE:
    case ATTRIBUTES: {
        Item const l_result = RowResult(this);
        Item const l_otherResult = RowResult(&i_other);
        if (l_result.IsNull() || l_otherResult.IsNull())
            return false;
        if (l_column == SIZE)
            return l_otherResult["file_size"].AsInt64() < l_result["file_size"].AsInt64();
        return l_otherResult["bitrate"].AsInt() < l_result["bitrate"].AsInt();
    }
    default:
        return false;
    }
}

SearchResultFileRow::SearchResultFileRow(Item const& i_result)
    : SearchResultListItem(static_cast<QTreeWidget*>(nullptr)), m_result(i_result),
      m_name(i_result["search_result_file_name"].AsString())
{
}

QVariant SearchResultFileRow::data(int i_column, int i_role) const
{
    if (i_role != Qt::DisplayRole && i_role != Qt::EditRole)
        return SearchResultListItem::data(i_column, i_role);
    switch (i_column) {
    case FILE:
        return m_name;
    case SIZE:
        return m_result.IsNull() ? QString() : CommafyNumber(m_result["file_size"].AsInt64());
    case ATTRIBUTES:
        return SharedFoldersManager::GetFileItemDisplayString(m_result);
    default:
        return SearchResultListItem::data(i_column, i_role);
    }
}
