#include "ui/chat/RoomWallForm.h"

#include "ui_RoomWallForm.h"

#include "server/Server.h"
#include "ui/chat/ChatRules.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/OutsideText.h"
#include "ui/widgets/OutsideMarkup.h"

#include <QTextBlockFormat>
#include <QTextCharFormat>

#include <algorithm>

std::vector<Item> RoomWallTickers(Item const& i_room)
{
    std::vector<Item> l_tickers = i_room.GetItems("room_ticker").SortNumericBy("room_ticker_order", false);
    if (l_tickers.size() > std::size_t(MAX_WALL_TICKERS))
        l_tickers.resize(std::size_t(MAX_WALL_TICKERS));
    return l_tickers;
}

QString RoomWallText(QString const& i_text)
{
    OutsideMarkup::ShownText const l_shown = OutsideMarkup::BoundedText(ChatOneParagraph(i_text), WALL_TICKER_SHOWN);
    return l_shown.m_cut ? l_shown.m_text + QChar(0x2026) : l_shown.m_text;
}

RoomWallForm::RoomWallForm(QString const& i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomWallForm), m_room(i_room)
{
    mp_ui->setupUi(this);
    // The tickers go in as plain text; sealed, the view loads nothing even
    // so.
    OutsideMarkup::SealView(mp_ui->textBrowser);
    m_updateTimer.setSingleShot(true);
    connect(&m_updateTimer, &QTimer::timeout, this, &RoomWallForm::UpdateText);
    UpdateText();

    PathNode* lp_ticker = new PathNode(&d, "room_ticker");
    new PathNode(lp_ticker, d["room"]->GetItem(Value(m_room)), PATH_CONNECTED_FIRES);
    for (char const* lp_step : {"user", "room_ticker_text", "room_ticker_order"})
        new PathNode(lp_ticker, lp_step, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_ticker, new EventHandler<RoomWallForm, Item>(this, &RoomWallForm::OnNewTicker));
    d["room_ticker"]->AddRemovedItemEventHandler(
        new EventHandler<RoomWallForm, Item>(this, &RoomWallForm::OnTickerRemoved));

    connect(mp_ui->lineEdit, &QLineEdit::returnPressed, this, &RoomWallForm::OnEnterPressed);
}

RoomWallForm::~RoomWallForm()
{
    m_drawing.Stop();
    delete mp_ui;
    if (d.HasType("room_wall_form"))
        d["room_wall_form"]->HasItem(Value(this)).Remove();
}

void RoomWallForm::OnNewTicker(Item)
{
    ScheduleDrawing();
}

void RoomWallForm::OnTickerRemoved(Item i_ticker)
{
    if (i_ticker["room"].AsString() == m_room)
        ScheduleDrawing();
}

void RoomWallForm::ScheduleDrawing()
{
    m_changed = true;
    if (m_drawing.IsRunning() || m_updateTimer.isActive())
        return;
    // Drawing takes at most about a ninth of the time, however long each
    // drawing takes.
    qint64 const l_interval = std::max<qint64>(WALL_REDRAW_MS, 8 * m_lastDrawingMs);
    m_updateTimer.start(int(std::max<qint64>(0, l_interval - m_drawingStart.elapsed())));
}

void RoomWallForm::UpdateText()
{
    m_updateTimer.stop();
    m_changed = false;
    m_drawingStart.start();
    m_tickers = RoomWallTickers(d["room"]->GetItem(Value(m_room)));
    m_next = 0;
    m_rows = 0;
    m_nameColor = ColorSettingName("chat_username");
    QTextBrowser* lp_view = mp_ui->textBrowser;
    lp_view->clear();
    m_writer = QTextCursor(lp_view->document());
    m_drawing.Start([this]() { return DrawRow(); }, [this]() { DrawingDone(); });
    lp_view->moveCursor(QTextCursor::Start);
}

bool RoomWallForm::DrawRow()
{
    if (m_next >= m_tickers.size())
        return false;
    Item const l_ticker = m_tickers[m_next++];
    // A ticker gone since the drawing started is not shown (its going
    // brings another drawing).
    if (l_ticker.IsValid()) {
        QTextBlockFormat l_row;
        l_row.setBackground(m_rows % 2 == 0 ? QColor(0xff, 0xff, 0xff) : QColor(0xd3, 0xd3, 0xd3));
        QTextCharFormat l_text;
        l_text.setFontWeight(QFont::Bold);
        l_text.setProperty(QTextFormat::FontSizeAdjustment, 1);
        QTextCharFormat l_name;
        if (!m_nameColor.isEmpty())
            l_name.setForeground(QColor(m_nameColor));
        // One change of the document: the row is laid out once.
        m_writer.beginEditBlock();
        if (m_rows > 0)
            m_writer.insertBlock(l_row);
        else
            m_writer.setBlockFormat(l_row);
        m_writer.insertText(Isolated(RoomWallText(l_ticker["room_ticker_text"].AsString())), l_text);
        m_writer.insertText(QStringLiteral(" -") + Isolated(RoomWallText(l_ticker["user"].AsString())), l_name);
        m_writer.endEditBlock();
        ++m_rows;
    }
    return m_next < m_tickers.size();
}

void RoomWallForm::DrawingDone()
{
    m_lastDrawingMs = m_drawingStart.elapsed();
    m_tickers.clear();
    mp_ui->textBrowser->moveCursor(QTextCursor::Start);
    if (m_changed)
        ScheduleDrawing();
}

void RoomWallForm::OnEnterPressed()
{
    QString const l_text = mp_ui->lineEdit->text().trimmed();
    if (l_text.isEmpty())
        return;
    // Offline the request would be dropped: the text stays for another try.
    if (!gp_server || !gp_server->IsConnected())
        return;
    gp_server->SetRoomTicker(m_room, l_text);
    mp_ui->lineEdit->clear();
}
