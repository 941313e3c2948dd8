// The display side of the Transfers page: the two trees, their rows and
// what each row shows. The commands are in TransfersCommands.cpp.

#include "ui/transfers/TransfersForm.h"

#include "ui/transfers/TransferRows.h"

#include "ui_TransfersForm.h"

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/TreeWidget.h"
#include "store/DataSaver.h"
#include "store/FreePages.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"
#include "transfers/TransferItems.h"
#include "transfers/TransferQueueManager.h"

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QPainter>
#include <QProgressBar>
#include <QScrollBar>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>

#include <algorithm>
#include <functional>
#include <limits>

TransfersForm* transfersForm = nullptr;

using namespace TransferRows;

namespace {

typedef EventHandler<TransfersForm, Item> ItemHandler;
typedef EventHandler<TransfersForm, ConnectionInfo&> ConnectionHandler;

// Why a file row's transfer ended, as the engine said it (its tool tip
// may say more).
int const END_REASON_ROLE = Qt::UserRole + 3;

enum Column { COL_USER, COL_FOLDER, COL_FILE, COL_STATUS, COL_PROGRESS, COL_TIME_LEFT, COL_SPEED, COL_SIZE, COL_PLACE };

void SetUpColumns(QTreeWidget* ip_tree, int i_count)
{
    static char const* const s_headers[] = {"User", "Folder", "File", "Status", "Progress", "   ETA", "Kbs", "Size",
                                            "Place"};
    static int const s_widths[] = {100, 125, 125, 100, 140, 80, 40, 90, 40};
    QStringList l_headers;
    for (int l_column = 0; l_column < i_count; ++l_column)
        l_headers << s_headers[l_column];
    ip_tree->setColumnCount(i_count);
    ip_tree->setHeaderLabels(l_headers);
    for (int l_column = 0; l_column < i_count; ++l_column)
        ip_tree->setColumnWidth(l_column, s_widths[l_column]);
    ip_tree->header()->setSectionsMovable(false);
}

void Relate(char const* ip_a, char const* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA)
{
    d[ip_a]->RelateToType(d[ip_b], i_aPerB, i_bPerA, false);
}

QIcon OnlineIcon(bool i_online)
{
    return QIcon(i_online ? QStringLiteral(":/icons/online_icon") : QStringLiteral(":/icons/offline_icon"));
}

// The engine's live cells, read through the addresses their items hold.
template <class Cell>
Cell CellValue(Item const& i_entry, char const* ip_cellType)
{
    Cell const* lp_cell = TransferItems::ObjectAt<Cell>(i_entry[ip_cellType]);
    return lp_cell ? *lp_cell : Cell();
}

// Sizes are the peers' word: a group of absurd ones stops at the largest
// number instead of overflowing. Both terms are at least 0.
long long AddBounded(long long i_a, long long i_b)
{
    long long l_sum;
    return __builtin_add_overflow(i_a, std::max<long long>(0, i_b), &l_sum) ? std::numeric_limits<long long>::max()
                                                                          : l_sum;
}

// The status of a transfer that moves bytes.
QString ActiveStatus(bool i_downloads)
{
    return i_downloads ? QStringLiteral("downloading") : QStringLiteral("uploading");
}

// Paints a bar: the bar by the style without a text, then the text that
// fits of i_text (FittingBarText) over it, centred, in BarFont of i_font,
// in the colour of text over the part not done and in that of highlighted
// text over the part done, as the styles colour a label. Not the style's
// label: a style may paint one in a font it takes itself whatever the
// painter holds (the client's does, and makes it bold), and a text that
// fitted in the font it was measured in was then cut at both ends:
// "62,914,560" showed as "2,914,560".
void DrawBar(QPainter* ip_painter, QStyleOptionProgressBar i_bar, QString const& i_text, QFont const& i_font,
             QStyle const* ip_style, QWidget const* ip_widget)
{
    // Without a text, a style that puts its label beside the bar gives the
    // bar the whole width; the client's gives it the whole width anyway.
    i_bar.textVisible = false;
    i_bar.text.clear();
    ip_style->drawControl(QStyle::CE_ProgressBar, &i_bar, ip_painter, ip_widget);
    ip_painter->save();
    ip_painter->setFont(BarFont(i_font, i_bar.rect.height()));
    QString const l_text = FittingBarText(i_text, BarTextRoom(i_bar.rect.width()), ip_painter->fontMetrics());
    if (!l_text.isEmpty()) {
        QRect const l_contents = ip_style->subElementRect(QStyle::SE_ProgressBarContents, &i_bar, ip_widget);
        qint64 const l_span = std::max<qint64>(0, qint64(i_bar.maximum) - i_bar.minimum);
        qint64 const l_progress = std::clamp<qint64>(qint64(i_bar.progress) - i_bar.minimum, 0, l_span);
        int const l_filled = l_span > 0 ? int(l_contents.width() * l_progress / l_span) : 0;
        QRect const l_done = QStyle::visualRect(
            i_bar.direction, l_contents, QRect(l_contents.left(), i_bar.rect.top(), l_filled, i_bar.rect.height()));
        struct Part
        {
            QRegion m_region;
            QPalette::ColorRole m_role;
        };
        for (Part const& l_part : {Part{QRegion(i_bar.rect).subtracted(l_done), QPalette::Text},
                                   Part{QRegion(l_done), QPalette::HighlightedText}}) {
            if (l_part.m_region.isEmpty())
                continue;
            ip_painter->save();
            ip_painter->setClipRegion(l_part.m_region, Qt::IntersectClip);
            ip_painter->setPen(i_bar.palette.color(l_part.m_role));
            ip_painter->drawText(i_bar.rect, Qt::AlignCenter | Qt::TextSingleLine, l_text);
            ip_painter->restore();
        }
    }
    ip_painter->restore();
}

// The widget keeps the tree's font, so that it follows a change of it, and
// its text is painted in the bar's font (DrawBar).
class ProgressBar : public QProgressBar
{
public:
    // What it shows, for whoever asks (accessibility).
    QString text() const override
    {
        return FittingBarText(format(), BarTextRoom(rect().width()), QFontMetrics(BarFont(font(), height()), this));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter l_painter(this);
        QStyleOptionProgressBar l_bar;
        initStyleOption(&l_bar);
        DrawBar(&l_painter, l_bar, format(), font(), style(), this);
    }
};

// Paints the bar of a finished transfer as a bar widget of the row would
// look: at the top of the cell, at most BAR_HEIGHT pixels high (DrawBar).
class FinishedBarDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* ip_painter, QStyleOptionViewItem const& i_option, QModelIndex const& i_index) const override
    {
        QVariant const l_value = i_index.data(FINISHED_BAR_VALUE_ROLE);
        QStyledItemDelegate::paint(ip_painter, i_option, i_index);
        if (!l_value.isValid())
            return;
        QStyleOptionProgressBar l_bar;
        l_bar.initFrom(i_option.widget);
        l_bar.rect = i_option.rect;
        l_bar.rect.setHeight(std::min(BAR_HEIGHT, i_option.rect.height()));
        l_bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        l_bar.minimum = 0;
        l_bar.maximum = 100;
        l_bar.progress = l_value.toInt();
        QStyle* lp_style = i_option.widget ? i_option.widget->style() : QApplication::style();
        DrawBar(ip_painter, l_bar, i_index.data(FINISHED_BAR_TEXT_ROLE).toString(), i_option.font, lp_style,
                i_option.widget);
    }

    // The view measures a row cell by cell, and caps what it has measured
    // so far at the maximum height of a cell's widget: a row whose bar was a
    // widget came out lower than one whose bar was painted, and rows, of one
    // height, were spaced as the first one happened to be. This cell asks
    // for the height of the tallest before it, so a row is as high with a
    // widget as without.
    QSize sizeHint(QStyleOptionViewItem const& i_option, QModelIndex const& i_index) const override
    {
        QSize l_size = QStyledItemDelegate::sizeHint(i_option, i_index);
        auto const* lp_view = qobject_cast<QAbstractItemView const*>(i_option.widget);
        for (int l_column = 0; lp_view && l_column < i_index.column(); ++l_column) {
            QModelIndex const l_cell = i_index.siblingAtColumn(l_column);
            if (QAbstractItemDelegate* lp_delegate = lp_view->itemDelegate(l_cell); lp_delegate && lp_delegate != this)
                l_size.setHeight(std::max(l_size.height(), lp_delegate->sizeHint(i_option, l_cell).height()));
        }
        return l_size;
    }
};

// A bar painted by FinishedBarDelegate, in place of any widget.
void PaintBar(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row, QString const& i_text, int i_value)
{
    ip_tree->removeItemWidget(ip_row, COL_PROGRESS);
    ip_row->setData(COL_PROGRESS, FINISHED_BAR_TEXT_ROLE, i_text);
    ip_row->setData(COL_PROGRESS, FINISHED_BAR_VALUE_ROLE, i_value);
}

void ClearPaintedBar(QTreeWidgetItem* ip_row)
{
    if (ip_row->data(COL_PROGRESS, FINISHED_BAR_VALUE_ROLE).isValid())
        for (int l_role : {FINISHED_BAR_TEXT_ROLE, FINISHED_BAR_VALUE_ROLE})
            ip_row->setData(COL_PROGRESS, l_role, QVariant());
}

// Whichever bar the row shows goes.
void TakeOffBar(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row)
{
    ip_tree->removeItemWidget(ip_row, COL_PROGRESS);
    ClearPaintedBar(ip_row);
}

bool ShowsBar(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row)
{
    return ip_tree->itemWidget(ip_row, COL_PROGRESS) || ip_row->data(COL_PROGRESS, FINISHED_BAR_VALUE_ROLE).isValid();
}

void SetProgressBar(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row, long long i_done, double i_percent)
{
    auto* lp_bar = qobject_cast<QProgressBar*>(ip_tree->itemWidget(ip_row, COL_PROGRESS));
    if (!lp_bar) {
        ClearPaintedBar(ip_row);
        lp_bar = new ProgressBar;
        lp_bar->setMaximumHeight(BAR_HEIGHT);
        lp_bar->setRange(0, 100);
        ip_tree->setItemWidget(ip_row, COL_PROGRESS, lp_bar);
    }
    lp_bar->setFormat(ProgressText(i_done, i_percent));
    lp_bar->setValue(int(i_percent));
}

} // namespace

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_TransfersForm)
{
    transfersForm = this;
    mp_ui->setupUi(this);
    m_downloads = {mp_ui->downloadsList, true, "download_entry", "download_entry_status", "download_list_user_node",
                   "download_list_folder_node", "download_list_node", "remote_folder", "write_position"};
    m_uploads = {mp_ui->uploadsList, false, "upload_entry", "upload_entry_status", "upload_list_user_node",
                 "upload_list_folder_node", "upload_list_node", "shared_file_folder", "read_position"};
    SetUpColumns(mp_ui->downloadsList, 9);
    SetUpColumns(mp_ui->uploadsList, 8);
    mp_ui->uploadsList->header()->setStretchLastSection(false);
    // Rows of one height: the view then places thousands of rows, and the
    // progress bars among them, without measuring each row.
    mp_ui->downloadsList->setUniformRowHeights(true);
    mp_ui->uploadsList->setUniformRowHeights(true);
    for (TreeWidget* lp_tree : {mp_ui->downloadsList, mp_ui->uploadsList})
        lp_tree->setItemDelegateForColumn(COL_PROGRESS, new FinishedBarDelegate(lp_tree));

    connect(mp_ui->downloadsList, &QTreeWidget::itemDoubleClicked, this,
            &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(mp_ui->downloadsList, &TreeWidget::KeyPressed, this, &TransfersForm::OnKeyPressedInDownloadList);
    connect(mp_ui->uploadsList, &TreeWidget::KeyPressed, this, &TransfersForm::OnKeyPressedInUploadList);
    layout()->setContentsMargins(0, 0, 0, 0);
}

TransfersForm::~TransfersForm()
{
    for (QTreeWidgetItem* lp_row : m_takenRows)
        delete lp_row;
    // The node items hold the addresses of rows that go with the form.
    if (m_initialised && !g_showIsOver)
        for (TransferTree const* lp_tree : {&m_downloads, &m_uploads})
            for (char const* lp_type : {lp_tree->mp_fileNodeType, lp_tree->mp_folderNodeType, lp_tree->mp_userNodeType})
                if (d.HasType(lp_type))
                    d[lp_type]->RemoveAllItems();
    delete mp_ui;
    if (transfersForm == this)
        transfersForm = nullptr;
}

void TransfersForm::DeclareNodeTypes(TransferTree const& i_tree)
{
    for (char const* lp_type : {i_tree.mp_userNodeType, i_tree.mp_folderNodeType, i_tree.mp_fileNodeType})
        d.NewType(lp_type, ROOT, false, true);
    Relate(i_tree.mp_userNodeType, "user", ONE, ONE);
    Relate(i_tree.mp_folderNodeType, i_tree.mp_userNodeType, MANY, ONE);
    // Upload folders come from the share index; without it there are none.
    if (d.HasType(i_tree.mp_folderType))
        Relate(i_tree.mp_folderNodeType, i_tree.mp_folderType, MANY, ONE);
    Relate(i_tree.mp_fileNodeType, i_tree.mp_folderNodeType, MANY, ONE);
    Relate(i_tree.mp_fileNodeType, i_tree.mp_entryType, ONE, ONE);
}

void TransfersForm::Init()
{
    // The engine's types are what the page shows; the shell makes the
    // manager first, and without one there is nothing to show.
    if (m_initialised || !transferQueueManager)
        return;
    m_initialised = true;

    PathNode* lp_download = new PathNode(&d, "download_entry");
    for (char const* lp_type : {"user", "file_name", "file_size", "remote_folder"})
        new PathNode(lp_download, lp_type, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_download, new ItemHandler(this, &TransfersForm::OnDownloadEntryAdded));
    DeclareNodeTypes(m_downloads);
    d.AddConnectionEventHandler(d["download_entry"], d["download_entry_status"],
                                new ConnectionHandler(this, &TransfersForm::OnDownloadEntryStatusChange));
    d.AddConnectionEventHandler(d["upload_entry"], d["upload_entry_status"],
                                new ConnectionHandler(this, &TransfersForm::OnUploadEntryStatusChange));
    connect(transferQueueManager, &TransferQueueManager::DownloadProgressed, this, &TransfersForm::OnDownloadProgress);
    connect(transferQueueManager, &TransferQueueManager::UploadProgressed, this, &TransfersForm::OnUploadProgress);
    connect(transferQueueManager, &TransferQueueManager::TransferEnded, this, &TransfersForm::OnTransferEnded);
    connect(transferQueueManager, &TransferQueueManager::DownloadLocalError, this, &TransfersForm::OnTransferEnded);

    PathNode* lp_upload = new PathNode(&d, "upload_entry");
    for (char const* lp_type : {"user", "shared_file"})
        new PathNode(lp_upload, lp_type, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_upload, new ItemHandler(this, &TransfersForm::OnUploadEntryAdded));
    DeclareNodeTypes(m_uploads);
    connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this, &TransfersForm::OnTransfersLoaded);
    d["download_entry"]->AddRemovedItemEventHandler(new ItemHandler(this, &TransfersForm::OnDownloadEntryRemoved));
    d["upload_entry"]->AddRemovedItemEventHandler(new ItemHandler(this, &TransfersForm::OnUploadEntryRemoved));
    RegisterToolBarActions();

    PathNode* lp_online = new PathNode(&d, "user");
    new PathNode(lp_online, "is_online", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_online, new ItemHandler(this, &TransfersForm::OnUserOnline));
    PathNode* lp_offline = new PathNode(&d, "user");
    new PathNode(lp_offline, "is_online", PATH_ON_DISCONNECT);
    d.AddPathEventHandler(lp_offline, new ItemHandler(this, &TransfersForm::OnUserOffline));
    PathNode* lp_place = new PathNode(&d, "download_entry");
    new PathNode(lp_place, "place_in_line", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_place, new ItemHandler(this, &TransfersForm::OnDownloadPlaceInLine));

    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    for (TreeWidget* lp_tree : {mp_ui->downloadsList, mp_ui->uploadsList}) {
        connect(lp_tree, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(lp_tree, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    mp_ui->downloadsList->setFocus();
    connect(&TimerManager::Obj()->m_halfMinuteTimer, &QTimer::timeout, this, &TransfersForm::EveryHalfMinute);
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete, Qt::QueuedConnection);
    RegisterWidgetForTabFocus(mp_ui->downloadsList, 1);
    RegisterWidgetForTabFocus(mp_ui->uploadsList, 1);

    d.NewType("complete_download_alert", ROOT, true, true);
    Relate("complete_download_alert", "download_entry", ONE, ONE);
    Relate("complete_download_alert", "user", MANY, ONE);
    Relate("complete_download_alert", "remote_folder", MANY, ONE);
    UpdateActiveTransferCounts();
}

// ------------------------------------------------------------------ entries

long long TransfersForm::EntrySize(TransferTree const& i_tree, Item const& i_entry)
{
    // Sizes come from peers and the data file: a negative one counts as 0.
    if (i_tree.m_downloads)
        return std::max<long long>(0, i_entry["file_size"].AsInt64());
    return d.HasType("shared_file_size") ? std::max<long long>(0, i_entry["shared_file"]["shared_file_size"].AsInt64())
                                         : 0;
}

QString TransfersForm::EntryFileName(TransferTree const& i_tree, Item const& i_entry)
{
    if (i_tree.m_downloads)
        return i_entry["file_name"].AsString();
    if (!d.HasType("shared_file_name"))
        return QString();
    return ToQString(GetFileName(i_entry["shared_file"]["shared_file_name"].AsStdString()));
}

Item TransfersForm::EntryFolder(TransferTree const& i_tree, Item const& i_entry)
{
    if (i_tree.m_downloads)
        return i_entry["remote_folder"];
    return d.HasType("shared_file_folder") ? i_entry["shared_file"]["shared_file_folder"] : Item();
}

QTreeWidgetItem* TransfersForm::UserRowOf(QTreeWidgetItem* ip_row)
{
    while (ip_row && ip_row->parent())
        ip_row = ip_row->parent();
    return ip_row;
}

TransfersForm::EntryRows TransfersForm::RowsOf(TransferTree const& i_tree, Item const& i_entry)
{
    Item const l_fileNode = i_entry[i_tree.mp_fileNodeType];
    if (l_fileNode.IsNull())
        return EntryRows();
    QTreeWidgetItem* lp_fileRow = NodeRow(l_fileNode);
    QTreeWidgetItem* lp_folderRow = lp_fileRow->parent();
    return EntryRows{lp_fileRow, lp_folderRow, lp_folderRow->parent()};
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(ip_row);
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(ip_row);
}

ItemSet TransfersForm::EntriesUnder(TransferTree const& i_tree, QTreeWidgetItem* ip_row) const
{
    if (!m_initialised)
        return ItemSet();
    if (Item const l_node = RowNode(i_tree.mp_userNodeType, ip_row); l_node.IsValid())
        return l_node.GetItems(i_tree.mp_folderNodeType).GetItems(i_tree.mp_fileNodeType).GetItems(i_tree.mp_entryType);
    if (Item const l_node = RowNode(i_tree.mp_folderNodeType, ip_row); l_node.IsValid())
        return l_node.GetItems(i_tree.mp_fileNodeType).GetItems(i_tree.mp_entryType);
    if (Item const l_node = RowNode(i_tree.mp_fileNodeType, ip_row); l_node.IsValid())
        return l_node.GetItems(i_tree.mp_entryType);
    return ItemSet();
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntriesUnder(m_downloads, ip_row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntriesUnder(m_uploads, ip_row);
}

TransfersForm::TransferTree* TransfersForm::TreeOfNode(Item const& i_node)
{
    std::string const& l_type = i_node.GetTypeName();
    for (TransferTree* lp_tree : {&m_downloads, &m_uploads})
        if (l_type == lp_tree->mp_userNodeType || l_type == lp_tree->mp_folderNodeType ||
            l_type == lp_tree->mp_fileNodeType)
            return lp_tree;
    return nullptr;
}

// --------------------------------------------------------------------- rows

void TransfersForm::OnDownloadEntryAdded(Item i_entry)
{
    if (m_transfersLoaded)
        AddEntryRow(m_downloads, i_entry);
    else if (m_loadWork.IsRunning())
        m_loadedEntries.push_back(i_entry);
}

void TransfersForm::OnUploadEntryAdded(Item i_entry)
{
    AddEntryRow(m_uploads, i_entry);
}

void TransfersForm::AddEntryRow(TransferTree& io_tree, Item const& i_entry)
{
    // The path fires again when one of the entry's links is replaced: the
    // row it had goes first, so that no ghost row stays behind.
    RemoveEntryRow(io_tree, i_entry);
    Item const l_user = i_entry["user"];
    Item const l_folder = EntryFolder(io_tree, i_entry);
    if (l_user.IsNull() || l_folder.IsNull())
        return;

    Item l_userNode = l_user[io_tree.mp_userNodeType];
    QTreeWidgetItem* lp_userRow = NodeRow(l_userNode);
    if (l_userNode.IsNull()) {
        lp_userRow = new QTreeWidgetItem(io_tree.mp_tree);
        l_userNode = d[io_tree.mp_userNodeType]->GetItem(Value(lp_userRow));
        l_userNode += l_user;
        lp_userRow->setText(COL_USER, l_user.AsString());
        lp_userRow->setIcon(COL_USER, OnlineIcon(l_user.IsConnected("is_online")));
        if (io_tree.m_expandUsers)
            lp_userRow->setExpanded(true);
    }

    Item l_folderNode = d.GetItem(l_userNode, l_folder, io_tree.mp_folderNodeType);
    QTreeWidgetItem* lp_folderRow = NodeRow(l_folderNode);
    if (l_folderNode.IsNull()) {
        lp_folderRow = new QTreeWidgetItem(lp_userRow);
        l_folderNode = d[io_tree.mp_folderNodeType]->GetItem(Value(lp_folderRow));
        l_folderNode += l_userNode;
        l_folderNode += l_folder;
        lp_folderRow->setText(COL_FOLDER, ReversePathname(l_folder.AsString()));
        if (io_tree.m_expandFolders)
            lp_folderRow->setExpanded(true);
    }

    ForgetFigures(io_tree, lp_folderRow);
    auto* lp_fileRow = new QTreeWidgetItem(lp_folderRow);
    lp_fileRow->setText(COL_FILE, EntryFileName(io_tree, i_entry));
    lp_fileRow->setText(COL_SIZE, CommafyNumber(EntrySize(io_tree, i_entry)));
    Item const l_fileNode = d[io_tree.mp_fileNodeType]->GetItem(Value(lp_fileRow));
    l_fileNode += i_entry;
    l_folderNode += l_fileNode;

    if (Item const l_status = i_entry[io_tree.mp_statusType]; l_status.IsValid())
        ShowStatus(io_tree, i_entry, l_status);
    if (io_tree.m_downloads)
        ShowBytesOnDisk(i_entry, lp_fileRow);
}

void TransfersForm::ShowBytesOnDisk(Item const& i_entry, QTreeWidgetItem* ip_row)
{
    // A download that stopped before a restart (or whose row was made
    // again) shows what its partial file holds from the start, as it did
    // when it stopped, and so do its groups; not only from its next report.
    // Only a file it made is its own: one the user put at its place is not
    // resumed from.
    if (!transferQueueManager || ShownBytes(i_entry) || !i_entry.IsConnected("partial_file_made"))
        return;
    Item const l_status = i_entry[m_downloads.mp_statusType];
    if (l_status.IsConnected("is_active") || l_status.AsString() == "complete")
        return;
    QFileInfo const l_file(transferQueueManager->GetSafeDownloadPath(i_entry, false));
    if (l_file.isFile())
        ShowFileBar(m_downloads, i_entry, ip_row, std::min<long long>(l_file.size(), EntrySize(m_downloads, i_entry)));
}

void TransfersForm::OnDownloadEntryRemoved(Item i_entry)
{
    RemoveEntryRow(m_downloads, i_entry);
}

void TransfersForm::OnUploadEntryRemoved(Item i_entry)
{
    RemoveEntryRow(m_uploads, i_entry);
}

void TransfersForm::RemoveEntryRow(TransferTree& io_tree, Item const& i_entry)
{
    auto [lp_fileRow, lp_folderRow, lp_userRow] = RowsOf(io_tree, i_entry);
    if (!lp_fileRow)
        return;
    Item const l_fileNode = i_entry[io_tree.mp_fileNodeType];
    ForgetFigures(io_tree, lp_folderRow);
    m_shownPositions.erase(i_entry.Serial());
    l_fileNode.Remove();
    if (LetRowGo(lp_fileRow)) {
        RowNode(io_tree.mp_folderNodeType, lp_folderRow).Remove();
        if (LetRowGo(lp_folderRow)) {
            RowNode(io_tree.mp_userNodeType, lp_userRow).Remove();
            LetRowGo(lp_userRow);
            lp_userRow = nullptr;
        } else {
            // The user's status and colour were also those of the folder
            // that went: an aborted one must not leave its colour on a user
            // whose other downloads are complete.
            QueueUserRefresh(io_tree, lp_userRow);
        }
    } else {
        QueueGroupRefresh(io_tree, lp_folderRow);
    }
    if (lp_userRow && RowsStaying(lp_userRow) == 1) {
        TakeOffBar(io_tree.mp_tree, lp_userRow);
        lp_userRow->setText(COL_TIME_LEFT, QString());
    }
    if (!m_countsQueued) {
        m_countsQueued = true;
        QMetaObject::invokeMethod(this, "UpdateActiveTransferCounts", Qt::QueuedConnection);
    }
}

bool TransfersForm::LetRowGo(QTreeWidgetItem* ip_row)
{
    QTreeWidgetItem* const lp_parent = ip_row->parent();
    if (!m_removalWork.IsRunning()) {
        delete ip_row;
        return lp_parent && lp_parent->childCount() == 0;
    }
    // A group goes once all its rows went, and they go with it.
    if (m_goneChildren.erase(ip_row))
        for (int l_child = 0; l_child < ip_row->childCount(); ++l_child)
            m_goneRows.erase(ip_row->child(l_child));
    m_goneRows.insert(ip_row);
    return lp_parent && ++m_goneChildren[lp_parent] == lp_parent->childCount();
}

bool TransfersForm::IsGoneRow(QTreeWidgetItem* ip_row) const
{
    for (; ip_row; ip_row = ip_row->parent())
        if (m_goneRows.count(ip_row))
            return true;
    return false;
}

int TransfersForm::RowsStaying(QTreeWidgetItem* ip_row) const
{
    auto const l_gone = m_goneChildren.find(ip_row);
    return ip_row->childCount() - (l_gone == m_goneChildren.end() ? 0 : l_gone->second);
}

namespace {

// A few rows leave one at a time, each a change of the tree; more leave
// with all the others, in two.
constexpr std::size_t ROWS_LEAVING_ONE_BY_ONE = 4;
constexpr int TAKEN_ROWS_DELETED_A_STEP = 256;

} // namespace

bool TransfersForm::TakeOffGoneRows()
{
    if (m_goneRows.empty())
        return false;
    for (TransferTree* lp_tree : {&m_downloads, &m_uploads}) {
        std::vector<QTreeWidgetItem*> l_leaving;
        for (QTreeWidgetItem* lp_row : m_goneRows)
            if (lp_row->treeWidget() == lp_tree->mp_tree)
                l_leaving.push_back(lp_row);
        if (l_leaving.empty())
            continue;
        // The selection's rows that leave would be told to the tree a cell
        // at a time: 160 ms for 40,000 rows, all selected.
        QSignalBlocker const l_quiet(lp_tree->mp_tree->selectionModel());
        if (l_leaving.size() > ROWS_LEAVING_ONE_BY_ONE) {
            TakeOffAllAndPutBack(*lp_tree);
            continue;
        }
        // Taken off, and deleted with what they hold in later steps: a user
        // of 20,000 rows deleted at once held the window 70 ms.
        for (QTreeWidgetItem* lp_row : l_leaving) {
            QTreeWidgetItem* const lp_parent =
                lp_row->parent() ? lp_row->parent() : lp_tree->mp_tree->invisibleRootItem();
            m_takenRows.push_back(lp_parent->takeChild(lp_parent->indexOfChild(lp_row)));
        }
    }
    m_goneRows.clear();
    m_goneChildren.clear();
    return true;
}

void TransfersForm::TakeOffAllAndPutBack(TransferTree& io_tree)
{
    QTreeWidget* const lp_view = io_tree.mp_tree;
    // What the view keeps of the rows that stay, which it forgets once they
    // are off the tree: expansion, selection, the current row, the bars
    // that are widgets, where it is scrolled to.
    std::vector<QTreeWidgetItem*> l_expanded;
    std::vector<QTreeWidgetItem*> l_barred;
    std::unordered_set<QTreeWidgetItem*> l_selected;
    bool const l_bars = lp_view->viewport()->findChild<QProgressBar*>() != nullptr;
    bool const l_anySelected = lp_view->selectionModel()->hasSelection();
    auto const l_note = [&](QTreeWidgetItem* ip_row) {
        if (ip_row->isExpanded())
            l_expanded.push_back(ip_row);
        if (l_bars && lp_view->itemWidget(ip_row, COL_PROGRESS))
            l_barred.push_back(ip_row);
        if (l_anySelected && ip_row->isSelected())
            l_selected.insert(ip_row);
    };
    for (int l_user = 0; l_user < lp_view->topLevelItemCount(); ++l_user) {
        QTreeWidgetItem* const lp_user = lp_view->topLevelItem(l_user);
        if (m_goneRows.count(lp_user))
            continue;
        l_note(lp_user);
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder) {
            QTreeWidgetItem* const lp_folder = lp_user->child(l_folder);
            if (m_goneRows.count(lp_folder))
                continue;
            l_note(lp_folder);
            for (int l_file = 0; (l_bars || l_anySelected) && l_file < lp_folder->childCount(); ++l_file)
                if (QTreeWidgetItem* const lp_file = lp_folder->child(l_file); !m_goneRows.count(lp_file))
                    l_note(lp_file);
        }
    }
    QTreeWidgetItem* lp_current = lp_view->currentItem();
    if (IsGoneRow(lp_current))
        lp_current = nullptr;
    int const l_vertical = lp_view->verticalScrollBar()->value();
    int const l_horizontal = lp_view->horizontalScrollBar()->value();

    // Off the tree, a row and what it holds are plain lists.
    lp_view->addTopLevelItems(SortOutStaying(lp_view->invisibleRootItem()->takeChildren()));
    {
        // As they were: the page's own handling of a row expanded by the
        // user is not for this.
        QSignalBlocker const l_quiet(lp_view);
        for (QTreeWidgetItem* lp_row : l_expanded)
            lp_row->setExpanded(true);
    }
    for (QTreeWidgetItem* lp_row : l_barred) {
        if (Item const l_entry = RowNode(io_tree.mp_fileNodeType, lp_row)[io_tree.mp_entryType]; l_entry.IsValid())
            ShowFileBar(io_tree, l_entry, lp_row, ShownBytes(l_entry).value_or(0));
        else
            RefreshGroupRow(io_tree, lp_row);
    }
    // The selection in ranges of rows side by side, in one change.
    QItemSelection l_selection;
    QAbstractItemModel* const lp_model = lp_view->model();
    std::function<void(QTreeWidgetItem*, QModelIndex const&)> const l_select = [&](QTreeWidgetItem* ip_parent,
                                                                                   QModelIndex const& i_parent) {
        int l_from = -1;
        for (int l_row = 0; l_row <= ip_parent->childCount(); ++l_row) {
            QTreeWidgetItem* const lp_row = l_row < ip_parent->childCount() ? ip_parent->child(l_row) : nullptr;
            bool const l_in = lp_row && l_selected.count(lp_row);
            if (l_in && l_from < 0)
                l_from = l_row;
            if (!l_in && l_from >= 0) {
                l_selection.select(lp_model->index(l_from, 0, i_parent),
                                   lp_model->index(l_row - 1, lp_model->columnCount(i_parent) - 1, i_parent));
                l_from = -1;
            }
            if (lp_row && lp_row == lp_current)
                lp_view->selectionModel()->setCurrentIndex(lp_model->index(l_row, 0, i_parent),
                                                           QItemSelectionModel::NoUpdate);
            if (lp_row && lp_row->childCount() > 0)
                l_select(lp_row, lp_model->index(l_row, 0, i_parent));
        }
    };
    if (!l_selected.empty() || lp_current)
        l_select(lp_view->invisibleRootItem(), QModelIndex());
    if (!l_selection.isEmpty())
        lp_view->selectionModel()->select(l_selection, QItemSelectionModel::Select);
    lp_view->doItemsLayout();
    lp_view->verticalScrollBar()->setValue(l_vertical);
    lp_view->horizontalScrollBar()->setValue(l_horizontal);
}

void TransfersForm::PutBackStaying(QTreeWidgetItem* ip_row)
{
    if (!m_goneChildren.count(ip_row)) {
        // Rows of its groups may have gone.
        for (int l_child = 0; l_child < ip_row->childCount(); ++l_child)
            if (ip_row->child(l_child)->childCount() > 0)
                PutBackStaying(ip_row->child(l_child));
        return;
    }
    ip_row->addChildren(SortOutStaying(ip_row->takeChildren()));
}

QList<QTreeWidgetItem*> TransfersForm::SortOutStaying(QList<QTreeWidgetItem*> const& i_rows)
{
    QList<QTreeWidgetItem*> l_staying;
    for (QTreeWidgetItem* lp_row : i_rows) {
        if (m_goneRows.count(lp_row)) {
            m_takenRows.push_back(lp_row);
        } else {
            PutBackStaying(lp_row);
            l_staying << lp_row;
        }
    }
    return l_staying;
}

bool TransfersForm::DeleteTakenRows()
{
    if (m_takenRows.empty())
        return false;
    // A row's own rows first come off it: a user's thousands of folders
    // deleted with it would be one long step.
    for (int l_k = 0; l_k < TAKEN_ROWS_DELETED_A_STEP && !m_takenRows.empty(); ++l_k) {
        QTreeWidgetItem* const lp_row = m_takenRows.back();
        m_takenRows.pop_back();
        for (QTreeWidgetItem* lp_child : lp_row->takeChildren())
            m_takenRows.push_back(lp_child);
        delete lp_row;
    }
    MergeFreedBlocks();
    return true;
}

// ----------------------------------------------------------------- statuses

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& i_info)
{
    ShowStatus(m_downloads, i_info.m_item1, i_info.m_item2);
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& i_info)
{
    ShowStatus(m_uploads, i_info.m_item1, i_info.m_item2);
}

void TransfersForm::ShowStatus(TransferTree& io_tree, Item const& i_entry, Item const& i_status)
{
    QTreeWidgetItem* lp_row = RowsOf(io_tree, i_entry).mp_file;
    if (!lp_row)
        return;
    QString const l_status = i_status.AsString();
    SetRowColor(lp_row, StatusColor(l_status));
    if (l_status == "complete") {
        if (io_tree.m_downloads)
            emit DownloadComplete(i_entry);
        lp_row->setText(COL_PROGRESS, QString());
        // A finished transfer shows its whole file, whether a report of this
        // run made its bar or not (a download finished before a restart, an
        // empty file), so that a row shows the same after a restart. The
        // bar is painted, not a widget (see FINISHED_BAR_VALUE_ROLE).
        PaintBar(io_tree.mp_tree, lp_row, ProgressText(EntrySize(io_tree, i_entry), 100.0), 100);
    } else {
        ClearPaintedBar(lp_row);
        // An upload queued again has sent nothing of its next run: what its
        // bar showed of the last one is stale (a download's shows what lies
        // on our disk, and stays).
        if (l_status == "queued" && !io_tree.m_downloads)
            ForgetShownBytes(io_tree, i_entry, lp_row);
        // A download that starts shows at once what its partial file holds,
        // where its counter starts: its bar from the last run may be behind
        // it, and its groups count the counter.
        if (i_status.IsConnected("is_active") && i_entry[io_tree.mp_positionType].IsValid())
            ShowFileBar(io_tree, i_entry, lp_row,
                        std::max<long long>(0, CellValue<qint64>(i_entry, io_tree.mp_positionType)));
    }
    if (io_tree.m_downloads)
        lp_row->setText(COL_PLACE, QString());
    // Nothing moves: no speed and no time left until the next report. A
    // download that failed here says when it is asked for again instead.
    if (l_status != ActiveStatus(io_tree.m_downloads))
        for (int l_column : {COL_TIME_LEFT, COL_SPEED})
            lp_row->setText(l_column, QString());
    QString const l_retry = l_status == "local error" ? RetryTime(i_entry) : QString();
    if (!l_retry.isEmpty())
        lp_row->setText(COL_TIME_LEFT, "retry " + l_retry);
    // Why a transfer ended shows until it runs again: the engine tells an
    // abort's reason once the status is set (OnTransferEnded), and one
    // queued again keeps it, without the time of a retry that came.
    QString l_text = l_status;
    if (l_status == "denied" && i_entry["denial_reason"].IsValid()) {
        l_text = i_entry["denial_reason"].AsString();
        QString const l_tip = DenialToolTip(l_text, i_entry["user"].AsString(), io_tree.m_downloads);
        lp_row->setData(COL_STATUS, END_REASON_ROLE, l_tip);
        SetRowToolTip(lp_row, l_tip);
    } else if (l_status == "queued") {
        if (QVariant const l_reason = lp_row->data(COL_STATUS, END_REASON_ROLE); l_reason.isValid())
            SetRowToolTip(lp_row, l_reason.toString());
    } else {
        // Only when there is one: a row holds a value of each role ever set,
        // empty or not, and thousands of rows pay for it.
        if (lp_row->data(COL_STATUS, END_REASON_ROLE).isValid())
            lp_row->setData(COL_STATUS, END_REASON_ROLE, QVariant());
        SetRowToolTip(lp_row, QString());
    }
    lp_row->setText(COL_STATUS, l_text.toLower());
    MarkGroupsForRefresh(io_tree, lp_row);
    UpdateActiveTransferCounts();
}

void TransfersForm::OnTransferEnded(Item i_entry, QString i_reason)
{
    TransferTree const& l_tree = i_entry.GetTypeName() == m_downloads.mp_entryType ? m_downloads : m_uploads;
    QTreeWidgetItem* lp_row = RowsOf(l_tree, i_entry).mp_file;
    if (!lp_row)
        return;
    lp_row->setData(COL_STATUS, END_REASON_ROLE, i_reason);
    QString l_tip = i_reason;
    if (QString const l_retry = RetryTime(i_entry);
        l_tree.m_downloads && i_entry[l_tree.mp_statusType].AsString() == "local error" && !l_retry.isEmpty())
        l_tip += QString("\nIt is asked for again at %1; \"Retry download\" asks for it now.").arg(l_retry);
    SetRowToolTip(lp_row, l_tip);
}

void TransfersForm::MarkGroupsForRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_fileRow)
{
    ForgetFigures(io_tree, ip_fileRow);
    QueueGroupRefresh(io_tree, ip_fileRow->parent());
}

void TransfersForm::QueueGroupRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_folderRow)
{
    m_staleGroups.Add(RowNode(io_tree.mp_folderNodeType, ip_folderRow));
    QueueUserRefresh(io_tree, ip_folderRow->parent());
}

void TransfersForm::QueueUserRefresh(TransferTree& io_tree, QTreeWidgetItem* ip_userRow)
{
    m_staleGroups.Add(RowNode(io_tree.mp_userNodeType, ip_userRow));
    if (!m_groupRefreshQueued) {
        m_groupRefreshQueued = true;
        QMetaObject::invokeMethod(this, &TransfersForm::RefreshGroups, Qt::QueuedConnection);
    }
}

void TransfersForm::RefreshGroups()
{
    m_groupRefreshQueued = false;
    // The saved queue's groups wait for its last row, and those of a
    // removal for its last row to go: each pass walks all that a group
    // holds, which between two slices of thousands of rows would cost more
    // than the slices.
    if (m_loadWork.IsRunning() || m_removalWork.IsRunning() || m_staleGroups.empty())
        return;
    for (Item const& l_node : m_staleGroups.Take())
        m_groupWalk.m_groups.push_back(l_node);
    if (!m_groupWork.IsRunning())
        m_groupWork.Start([this]() { return WalkGroups(); });
}

bool TransfersForm::WalkGroups()
{
    GroupWalk& l_walk = m_groupWalk;
    if (!l_walk.mp_row) {
        if (l_walk.m_next == l_walk.m_groups.size()) {
            l_walk = GroupWalk();
            return false;
        }
        Item const l_node = std::move(l_walk.m_groups[l_walk.m_next++]);
        TransferTree* lp_tree = l_node.IsValid() ? TreeOfNode(l_node) : nullptr;
        if (!lp_tree)
            return true;
        l_walk.m_node = l_node;
        l_walk.mp_tree = lp_tree;
        l_walk.mp_row = NodeRow(l_node);
        l_walk.m_folder = 0;
        l_walk.m_file = 0;
        l_walk.m_tally.emplace(lp_tree->mp_statusType, lp_tree->m_downloads);
        l_walk.m_figures = GroupFigures();
        l_walk.m_entries = 0;
        l_walk.m_complete = 0;
        return true;
    }
    // A group that went meanwhile; one that changed is in m_staleGroups
    // again and walked anew after this walk.
    if (l_walk.m_node.IsNull()) {
        l_walk.mp_row = nullptr;
        return true;
    }
    TransferTree const& l_tree = *l_walk.mp_tree;
    bool const l_userRow = l_walk.mp_row->parent() == nullptr;
    FigureStatuses const l_statuses = StatusesOfFigures(l_tree);
    // A fixed number of rows a step: a group of 40,000 walked at once held
    // the window for 30 ms at the end of the saved queue's build.
    for (int l_rows = 0; l_rows < GROUP_ROWS_A_STEP;) {
        QTreeWidgetItem* lp_folderRow = l_userRow ? l_walk.mp_row->child(l_walk.m_folder) : l_walk.mp_row;
        if (!lp_folderRow || l_walk.m_file >= lp_folderRow->childCount()) {
            if (!l_userRow || !lp_folderRow) {
                FinishGroup();
                return true;
            }
            ++l_walk.m_folder;
            l_walk.m_file = 0;
            ++l_rows;
            continue;
        }
        QTreeWidgetItem* lp_fileRow = lp_folderRow->child(l_walk.m_file++);
        ++l_rows;
        Item const l_entry = RowNode(l_tree.mp_fileNodeType, lp_fileRow)[l_tree.mp_entryType];
        if (l_entry.IsNull())
            continue;
        l_walk.m_tally->Add(l_entry);
        AddToFigures(l_tree, l_statuses, l_entry, l_walk.m_figures, l_walk.m_complete);
        ++l_walk.m_entries;
    }
    return true;
}

void TransfersForm::FinishGroup()
{
    GroupWalk& l_walk = m_groupWalk;
    TransferTree& l_tree = *l_walk.mp_tree;
    QTreeWidgetItem* lp_row = l_walk.mp_row;
    l_walk.mp_row = nullptr;
    l_walk.m_figures.m_allComplete = l_walk.m_complete == l_walk.m_entries;
    // Kept until something below the row changes, as ShowGroupProgress
    // keeps the figures it makes.
    m_groupFigures[l_walk.m_node.Serial()] = std::move(l_walk.m_figures);
    QString const l_status = l_walk.m_tally->Status();
    if (!lp_row->isExpanded() || !lp_row->treeWidget())
        lp_row->setText(COL_STATUS, l_status);
    SetRowColor(lp_row, StatusColor(l_status));
    bool const l_moving = l_status == ActiveStatus(l_tree.m_downloads);
    // A row follows its entries between reports: a transfer that ended
    // or went must not leave its bytes and time left behind, and a group
    // shows a bar whenever one below it does, as a report would have
    // made it, whether the rows were made in this run or from the saved
    // queue. An expanded user row over one folder would only repeat it.
    bool const l_repeats = lp_row->parent() == nullptr && lp_row->isExpanded() && lp_row->childCount() <= 1;
    if ((l_repeats || !ShowGroupProgress(l_tree, lp_row, -1)) && ShowsBar(l_tree.mp_tree, lp_row)) {
        TakeOffBar(l_tree.mp_tree, lp_row);
        lp_row->setText(COL_TIME_LEFT, QString());
    }
    if (!l_moving)
        for (int l_column : {COL_TIME_LEFT, COL_SPEED})
            lp_row->setText(l_column, QString());
}

QString TransfersForm::ShowGroupStatus(TransferTree& io_tree, QTreeWidgetItem* ip_row, bool i_color)
{
    QString const l_status = AggregateStatus(EntriesUnder(io_tree, ip_row), io_tree.mp_statusType, io_tree.m_downloads);
    if (!ip_row->isExpanded() || !ip_row->treeWidget())
        ip_row->setText(COL_STATUS, l_status);
    if (i_color)
        SetRowColor(ip_row, StatusColor(l_status));
    return l_status;
}

QString TransfersForm::GetDownloadEntriesAggregateStatus(ItemSet& i_entries)
{
    return AggregateStatus(i_entries, m_downloads.mp_statusType, true);
}

QString TransfersForm::GetUploadEntriesAggregateStatus(ItemSet& i_entries)
{
    return AggregateStatus(i_entries, m_uploads.mp_statusType, false);
}

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* ip_row, QString i_status)
{
    SetRowColor(ip_row, StatusColor(i_status));
}

void TransfersForm::RecolorEntries()
{
    if (!m_initialised)
        return;
    for (TransferTree* lp_tree : {&m_downloads, &m_uploads}) {
        QTreeWidget* lp_widget = lp_tree->mp_tree;
        for (int l_user = 0; l_user < lp_widget->topLevelItemCount(); ++l_user) {
            QTreeWidgetItem* lp_userRow = lp_widget->topLevelItem(l_user);
            for (int l_folder = 0; l_folder < lp_userRow->childCount(); ++l_folder) {
                QTreeWidgetItem* lp_folderRow = lp_userRow->child(l_folder);
                for (int l_file = 0; l_file < lp_folderRow->childCount(); ++l_file) {
                    QTreeWidgetItem* lp_fileRow = lp_folderRow->child(l_file);
                    Item const l_entry = RowNode(lp_tree->mp_fileNodeType, lp_fileRow)[lp_tree->mp_entryType];
                    SetRowColor(lp_fileRow, StatusColor(l_entry[lp_tree->mp_statusType].AsString()));
                }
                ShowGroupStatus(*lp_tree, lp_folderRow, true);
            }
            ShowGroupStatus(*lp_tree, lp_userRow, true);
        }
    }
}

// ----------------------------------------------------------------- progress

TransfersForm::FigureStatuses TransfersForm::StatusesOfFigures(TransferTree const& i_tree)
{
    Type* lp_statuses = d[i_tree.mp_statusType];
    return {lp_statuses->HasItem(Value("complete")),
            {lp_statuses->HasItem(Value("queued")), lp_statuses->HasItem(Value("aborted"))}};
}

TransfersForm::GroupFigures TransfersForm::Figures(TransferTree const& i_tree, ItemSet const& i_entries) const
{
    GroupFigures l_figures;
    FigureStatuses const l_statuses = StatusesOfFigures(i_tree);
    std::size_t l_completeCount = 0;
    for (Item const& l_entry : i_entries)
        AddToFigures(i_tree, l_statuses, l_entry, l_figures, l_completeCount);
    l_figures.m_allComplete = l_completeCount == i_entries.size();
    return l_figures;
}

void TransfersForm::AddToFigures(TransferTree const& i_tree, FigureStatuses const& i_statuses, Item const& i_entry,
                                 GroupFigures& io_figures, std::size_t& io_complete) const
{
    Item const l_status = i_entry[i_tree.mp_statusType];
    long long const l_size = EntrySize(i_tree, i_entry);
    io_figures.m_total = AddBounded(io_figures.m_total, l_size);
    if (l_status.IsValid() && l_status == i_statuses.m_complete) {
        ++io_complete;
        io_figures.m_barBelow = true;
        io_figures.m_settled = AddBounded(io_figures.m_settled, l_size);
    } else if (l_status.IsConnected("is_active")) {
        io_figures.m_moving.push_back(i_entry);
    } else {
        // Stopped (paused, aborted, failed, denied, waiting): its bar
        // keeps what lies on our disk, or what an upload last sent.
        std::optional<long long> const l_bar = ShownBytes(i_entry);
        long long const l_shown = l_bar.value_or(0);
        io_figures.m_barBelow = io_figures.m_barBelow || l_bar;
        io_figures.m_settled = AddBounded(io_figures.m_settled, l_shown);
        if (std::find(std::begin(i_statuses.m_waiting), std::end(i_statuses.m_waiting), l_status) !=
            std::end(i_statuses.m_waiting))
            io_figures.m_waitingLeft = AddBounded(io_figures.m_waitingLeft, l_size - l_shown);
    }
}

std::optional<long long> TransfersForm::ShownBytes(Item const& i_entry) const
{
    auto const l_shown = m_shownPositions.find(i_entry.Serial());
    return l_shown == m_shownPositions.end() ? std::nullopt : std::optional<long long>(l_shown->second);
}

void TransfersForm::ForgetShownBytes(TransferTree const& i_tree, Item const& i_entry, QTreeWidgetItem* ip_row)
{
    i_tree.mp_tree->removeItemWidget(ip_row, COL_PROGRESS);
    m_shownPositions.erase(i_entry.Serial());
}

void TransfersForm::ProgressStats(TransferTree const&, GroupFigures const& i_figures, long long& o_done,
                                  long long& o_remaining, long long& o_total) const
{
    o_done = i_figures.m_settled;
    for (Item const& l_entry : i_figures.m_moving)
        o_done = AddBounded(o_done, ShownBytes(l_entry).value_or(0));
    o_total = i_figures.m_total;
    o_remaining = o_total - o_done;
}

void TransfersForm::ForgetFigures(TransferTree const& i_tree, QTreeWidgetItem* ip_row)
{
    for (; ip_row; ip_row = ip_row->parent())
        for (char const* lp_type : {i_tree.mp_folderNodeType, i_tree.mp_userNodeType})
            if (Item const l_node = RowNode(lp_type, ip_row); l_node.IsValid())
                m_groupFigures.erase(l_node.Serial());
}

void TransfersForm::GetDownloadsProgressStats(ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                              long long& o_total)
{
    ProgressStats(m_downloads, Figures(m_downloads, i_entries), o_done, o_remaining, o_total);
}

void TransfersForm::GetUploadsProgressStats(ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                            long long& o_total)
{
    ProgressStats(m_uploads, Figures(m_uploads, i_entries), o_done, o_remaining, o_total);
}

void TransfersForm::OnDownloadProgress(Item i_entry)
{
    ShowProgress(m_downloads, i_entry);
}

void TransfersForm::OnUploadProgress(Item i_entry)
{
    ShowProgress(m_uploads, i_entry);
}

void TransfersForm::ShowProgress(TransferTree& io_tree, Item const& i_entry)
{
    auto [lp_fileRow, lp_folderRow, lp_userRow] = RowsOf(io_tree, i_entry);
    if (!lp_fileRow)
        return;

    long long const l_position = std::max<long long>(0, CellValue<qint64>(i_entry, io_tree.mp_positionType));
    long long const l_size = EntrySize(io_tree, i_entry);
    int const l_speed = CellValue<int>(i_entry, "bytes_per_second");
    // No time left without a speed: "0s" said it was about to end.
    lp_fileRow->setText(COL_TIME_LEFT, l_speed > 0 ? TimeLeftText((l_size - l_position) / l_speed) : QString());
    ShowFileBar(io_tree, i_entry, lp_fileRow, l_position);

    QTreeWidgetItem* lp_speedRow = lp_userRow;
    if (lp_userRow->isExpanded())
        lp_speedRow = lp_folderRow->isExpanded() ? lp_fileRow : lp_folderRow;
    lp_speedRow->setText(COL_SPEED, SpeedText(l_speed));

    // An expanded user row with one folder row would only repeat it.
    if (!(lp_userRow->isExpanded() && lp_userRow->childCount() <= 1) &&
        !ShowGroupProgress(io_tree, lp_userRow, l_speed))
        return;
    ShowGroupProgress(io_tree, lp_folderRow, l_speed);
}

void TransfersForm::ShowFileBar(TransferTree& io_tree, Item const& i_entry, QTreeWidgetItem* ip_row,
                                long long i_position)
{
    long long const l_size = EntrySize(io_tree, i_entry);
    m_shownPositions[i_entry.Serial()] = std::min(i_position, l_size);
    SetProgressBar(io_tree.mp_tree, ip_row, i_position, Percent(i_position, l_size, false));
}

bool TransfersForm::ShowGroupProgress(TransferTree& io_tree, QTreeWidgetItem* ip_row, int i_speed)
{
    Item l_node = RowNode(io_tree.mp_userNodeType, ip_row);
    if (l_node.IsNull())
        l_node = RowNode(io_tree.mp_folderNodeType, ip_row);
    auto l_figures = m_groupFigures.find(l_node.Serial());
    if (l_figures == m_groupFigures.end())
        l_figures = m_groupFigures.emplace(l_node.Serial(), Figures(io_tree, EntriesUnder(io_tree, ip_row))).first;
    GroupFigures const& l_group = l_figures->second;
    // A group shows a bar whenever a row below it does, and only then.
    bool l_barBelow = l_group.m_barBelow;
    long long l_toCome = l_group.m_waitingLeft;
    long long l_speed = std::max(0, i_speed);
    for (Item const& l_entry : l_group.m_moving) {
        std::optional<long long> const l_shown = ShownBytes(l_entry);
        l_barBelow = l_barBelow || l_shown;
        l_toCome = AddBounded(l_toCome, EntrySize(io_tree, l_entry) - l_shown.value_or(0));
        if (i_speed < 0)
            l_speed += std::max(0, CellValue<int>(l_entry, "bytes_per_second"));
    }
    if (!l_barBelow)
        return false;
    long long l_done, l_remaining, l_total;
    ProgressStats(io_tree, l_group, l_done, l_remaining, l_total);
    ip_row->setText(COL_TIME_LEFT, l_speed > 0 ? TimeLeftText(l_toCome / l_speed) : QString());
    double const l_percent = Percent(l_done, l_total, l_group.m_allComplete);
    // A group in which nothing moves (a finished folder, the saved queue's)
    // gets a painted bar, as a finished transfer does; a widget once its
    // figures move.
    if (l_group.m_moving.empty() && !io_tree.mp_tree->itemWidget(ip_row, COL_PROGRESS))
        PaintBar(io_tree.mp_tree, ip_row, ProgressText(l_done, l_percent), int(l_percent));
    else
        SetProgressBar(io_tree.mp_tree, ip_row, l_done, l_percent);
    return true;
}

void TransfersForm::OnItemExpanded(QTreeWidgetItem* ip_row)
{
    for (TransferTree* lp_tree : {&m_downloads, &m_uploads})
        if (ip_row->treeWidget() == lp_tree->mp_tree && IsGroupRow(*lp_tree, ip_row)) {
            for (int l_column : {COL_STATUS, COL_TIME_LEFT, COL_SPEED})
                ip_row->setText(l_column, QString());
            TakeOffBar(lp_tree->mp_tree, ip_row);
            // Its bar comes back in the next pass, whatever moves below it:
            // a paused or finished row would bring none.
            RefreshGroupRow(*lp_tree, ip_row);
        }
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* ip_row)
{
    for (TransferTree* lp_tree : {&m_downloads, &m_uploads})
        if (ip_row->treeWidget() == lp_tree->mp_tree && IsGroupRow(*lp_tree, ip_row)) {
            ShowGroupStatus(*lp_tree, ip_row, false);
            // A user row over one folder shows its bar again once collapsed.
            RefreshGroupRow(*lp_tree, ip_row);
        }
}

bool TransfersForm::IsGroupRow(TransferTree const& i_tree, QTreeWidgetItem* ip_row) const
{
    return RowNode(i_tree.mp_userNodeType, ip_row).IsValid() || RowNode(i_tree.mp_folderNodeType, ip_row).IsValid();
}

void TransfersForm::RefreshGroupRow(TransferTree& io_tree, QTreeWidgetItem* ip_row)
{
    if (ip_row->parent())
        QueueGroupRefresh(io_tree, ip_row);
    else
        QueueUserRefresh(io_tree, ip_row);
}

// ------------------------------------------------------- users, place, tab

void TransfersForm::OnUserOnline(Item i_user)
{
    ShowUserIcon(i_user);
}

void TransfersForm::OnUserOffline(Item i_user)
{
    ShowUserIcon(i_user);
}

void TransfersForm::ShowUserIcon(Item const& i_user)
{
    for (TransferTree const* lp_tree : {&m_downloads, &m_uploads})
        if (Item const l_node = i_user[lp_tree->mp_userNodeType]; l_node.IsValid())
            NodeRow(l_node)->setIcon(COL_USER, OnlineIcon(i_user.IsConnected("is_online")));
}

void TransfersForm::OnDownloadPlaceInLine(Item i_entry)
{
    if (Item const l_node = i_entry[m_downloads.mp_fileNodeType]; l_node.IsValid())
        NodeRow(l_node)->setText(COL_PLACE, i_entry["place_in_line"].AsString());
}

void TransfersForm::UpdateActiveTransferCounts()
{
    m_countsQueued = false;
    int l_index = -1;
    QTabWidget* lp_tabs = GetWidgetTabWidget(this, l_index);
    if (!lp_tabs || !transferQueueManager)
        return;
    QString const l_title = QString("Transfers [%1/%2]")
                                .arg(transferQueueManager->ActiveDownloadCount())
                                .arg(transferQueueManager->ActiveUploadCount());
    // The same title set again lays the tab bar out and paints the whole
    // tab widget anew, at every status change and every slice of a removal.
    if (lp_tabs->tabText(l_index) != l_title)
        lp_tabs->setTabText(l_index, l_title);
}

void TransfersForm::OnCurrentTabChanged(int)
{
}
