#include "ui/chat/RoomWallForm.h"

#include "ui_RoomWallForm.h"

#include "server/Server.h"
#include "store/Utilities.h"
#include "ui/widgets/ColorTable.h"
#include "ui/widgets/OutsideMarkup.h"

#include <QTextCursor>

QString RoomWallHtml(Item const& i_room)
{
    QString l_html = QStringLiteral("<table>");
    bool l_white = true;
    for (Item const& l_ticker : i_room.GetItems("room_ticker").SortNumericBy("room_ticker_order", false)) {
        l_html += l_white ? QStringLiteral("<tr width=\"%100\"><td bgcolor=#ffffff>")
                          : QStringLiteral("<tr width=\"%100\"><td bgcolor=#d3d3d3>");
        l_white = !l_white;
        l_html += QStringLiteral("<b><big>") + EscapeHTML(l_ticker["room_ticker_text"].AsString()) +
                  QStringLiteral("</big></b><font color=\"") + ColorSettingName("chat_username") + QStringLiteral("\"> -") +
                  EscapeHTML(l_ticker["user"].AsString()) + QStringLiteral("</font></td></tr>");
    }
    return l_html + QStringLiteral("</table>");
}

RoomWallForm::RoomWallForm(QString const& i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomWallForm), m_room(i_room)
{
    mp_ui->setupUi(this);
    // The tickers are escaped; sealed, the view loads nothing even so.
    OutsideMarkup::SealView(mp_ui->textBrowser);
    m_updateTimer.setSingleShot(true);
    m_updateTimer.setInterval(0);
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
    delete mp_ui;
    if (d.HasType("room_wall_form"))
        d["room_wall_form"]->HasItem(Value(this)).Remove();
}

void RoomWallForm::OnNewTicker(Item)
{
    m_updateTimer.start();
}

void RoomWallForm::OnTickerRemoved(Item i_ticker)
{
    if (i_ticker["room"].AsString() == m_room)
        m_updateTimer.start();
}

void RoomWallForm::UpdateText()
{
    m_updateTimer.stop();
    QTextBrowser* lp_view = mp_ui->textBrowser;
    lp_view->setUpdatesEnabled(false);
    lp_view->clear();
    lp_view->append(RoomWallHtml(d["room"]->GetItem(Value(m_room))));
    lp_view->moveCursor(QTextCursor::Start);
    lp_view->setUpdatesEnabled(true);
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
