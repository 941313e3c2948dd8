#ifndef QUILLMAR_UI_CHAT_ROOMWALLFORM_H
#define QUILLMAR_UI_CHAT_ROOMWALLFORM_H

#include "store/Data.h"
#include "store/SlicedWork.h"

#include <QElapsedTimer>
#include <QString>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

#include <vector>

class Ui_RoomWallForm;

// A room's wall: each user's ticker for the room, newest first, on rows of
// alternating colour, and an entry line that sets the own ticker. The
// rooms page opens it as a tab and binds it to the room by a
// "room_wall_form" item keyed by the page's address, which the page removes
// as it goes. The tickers are the server link's store items; the page only
// reads them, and it stays usable after the room is left.
//
// Tickers are other users' words: each row is plain text put into the view,
// never markup, and only as much of it as RoomWallText keeps. The wall is
// drawn again whole when tickers come or go, at most a few times a second
// and a row per step in slices (SlicedWork), the newest rows first: a wall
// of thousands drawn in one go held the window for seconds, and tickers
// set by thousands of users kept it busy.
class RoomWallForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomWallForm(QString const& i_room, QWidget* ip_parent = nullptr);
    ~RoomWallForm() override;

    // Draws the whole wall again, starting now: the first rows at once, the
    // rest in slices.
    void UpdateText();
    // Rows are still being drawn, or a drawing waits for its time.
    bool IsDrawing() const { return m_drawing.IsRunning() || m_updateTimer.isActive(); }

    Ui_RoomWallForm* Form() const { return mp_ui; }

public slots:
    void OnEnterPressed();

public:
    // A ticker of the room came or went: the wall is drawn again once its
    // time comes (see ScheduleDrawing), once for all that came meanwhile.
    void OnNewTicker(Item i_ticker);
    void OnTickerRemoved(Item i_ticker);

private:
    // The next drawing starts WALL_REDRAW_MS after the last one started, or
    // later after a long one; one that is under way ends first.
    void ScheduleDrawing();
    bool DrawRow();
    void DrawingDone();

    Ui_RoomWallForm* mp_ui;
    QString m_room;
    QTimer m_updateTimer;
    SlicedWork m_drawing;
    QElapsedTimer m_drawingStart;
    qint64 m_lastDrawingMs = 0;
    bool m_changed = false;
    // The drawing under way: its tickers, newest first, and how far it got.
    std::vector<Item> m_tickers;
    std::size_t m_next = 0;
    int m_rows = 0;
    QString m_nameColor;
    QTextCursor m_writer;
};

// The wall shows at most this many tickers (the server link keeps no more
// of a room), each in at most WALL_TICKER_SHOWN characters, and starts a
// drawing at most every WALL_REDRAW_MS.
int const MAX_WALL_TICKERS = 1000;
int const WALL_TICKER_SHOWN = 256;
int const WALL_REDRAW_MS = 250;

// The tickers of the room as the wall shows them: newest first (largest
// order number; those without one are left out), at most MAX_WALL_TICKERS.
std::vector<Item> RoomWallTickers(Item const& i_room);

// A ticker's text (or its user's name) as the wall shows it: one line, with
// a place to break in every long word and at most WALL_TICKER_SHOWN
// characters as OutsideMarkup::BoundedText counts them, a cut one ending in
// an ellipsis.
QString RoomWallText(QString const& i_text);

#endif
