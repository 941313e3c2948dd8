#ifndef QUILLMAR_UI_CHAT_ROOMWALLFORM_H
#define QUILLMAR_UI_CHAT_ROOMWALLFORM_H

#include "store/Data.h"

#include <QString>
#include <QTimer>
#include <QWidget>

class Ui_RoomWallForm;

// A room's wall: each user's ticker for the room, newest first, on rows of
// alternating colour, and an entry line that sets the own ticker. The
// rooms page opens it as a tab and binds it to the room by a
// "room_wall_form" item keyed by the page's address, which the page removes
// as it goes. The tickers are the server link's store items; the page only
// reads them, and it stays usable after the room is left.
class RoomWallForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomWallForm(QString const& i_room, QWidget* ip_parent = nullptr);
    ~RoomWallForm() override;

    // Rebuilds the whole wall now.
    void UpdateText();

    Ui_RoomWallForm* Form() const { return mp_ui; }

public slots:
    void OnEnterPressed();

public:
    // A ticker of the room came or went: the wall is rebuilt at the next
    // turn of the event loop, once for all that came together.
    void OnNewTicker(Item i_ticker);
    void OnTickerRemoved(Item i_ticker);

private:
    Ui_RoomWallForm* mp_ui;
    QString m_room;
    QTimer m_updateTimer;
};

// The wall's HTML for the room's tickers: a table, newest first (largest
// order number), rows alternately white and grey, each the ticker text in
// big bold letters and " -" with the user's name in the user-name colour.
// Both texts are escaped: they are other users' words, not markup.
QString RoomWallHtml(Item const& i_room);

#endif
