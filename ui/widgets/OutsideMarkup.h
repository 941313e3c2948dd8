#ifndef QUILLMAR_UI_WIDGETS_OUTSIDEMARKUP_H
#define QUILLMAR_UI_WIDGETS_OUTSIDEMARKUP_H

// Markup from outside that is shown as markup: another user's description
// (ui/users/UserInfoView) and an administrator's message
// (ui/chat/AdminMessageDialog); the room wall (ui/chat/RoomWallForm) shows
// escaped tickers in a view sealed the same way. Such markup is hostile: it
// may name files, program resources and data addresses for the view to
// load, and its layout may hold the window for seconds. SafeHtml keeps what
// the view can lay out in bounded time and names no resource; a sealed view
// loads nothing, whatever its markup names.

#include <QString>
#include <QTextDocument>

class QTextEdit;

namespace OutsideMarkup {

// The text layout's cost grows with the depth of nested elements, and
// exponentially with nested tables: twenty tables inside each other hold
// the window for seconds, some hundreds crash it. A table's cells are laid
// out several times over, once for each column. Texts that people write
// stay far inside these bounds.
constexpr int MAX_DEPTH = 24;
constexpr int MAX_TAGS = 512;
constexpr int MAX_CELLS_PER_ROW = 16;
// A font family named in a text costs a search through the system's fonts
// the first time it is shown (256 new names took a quarter of a second):
// a text keeps only the names of families the system has, or of generic
// ones, and no more than this many of them.
constexpr int MAX_FACES = 4;
// What is shown of one text. A paragraph is laid out in one piece, in time
// that grows faster than its length (a paragraph of 131,072 characters
// takes seconds, one of 16,384 some tens of milliseconds), and a line break
// in a paragraph costs about what a line of text does; past either bound
// the text is cut, with a note saying so. A character in a table counts
// twice: a table lays its cells out more than once.
constexpr int MAX_SHOWN_CHARACTERS = 16384;
constexpr int MAX_SHOWN_LINES = 1024;
// A word longer than this gets a place to break (a zero-width space) after
// every so many characters: the layout tries each place in a word too long
// for its line, at every line, while words of ordinary length cost little.
constexpr int MAX_RUN = 128;
// Combining marks stacked on one character cost the layout more with each
// mark; those past this many on one character are left out.
constexpr int MAX_MARKS = 8;
// The layout shapes each run of one script and one direction apart: a text
// whose every letter starts a run (Latin and Hebrew letters in turn) cost
// it about seven times what a text of one script does. A change of script
// or of direction counts as this many characters more than the character
// that makes it.
constexpr int RUN_CHANGE_WEIGHT = 8;

// What ends a cut text.
QString CutNote();

// The markup kept where a view can lay it out in bounded time, with every
// line feed made a line break. Tags of text formatting, paragraphs, lists,
// single-level tables and links (with a few harmless attributes, and font
// faces only as MAX_FACES says) are kept; any other tag, a closing tag with
// nothing to close, a tag past the nesting, count or cell bounds, a table
// inside a table, comments and every other attribute are shown as text, so
// that nothing can name an image, a style sheet or another resource to
// load. Beyond the bounds on what is shown the text is cut (CutNote()).
//
// The result is a tree that the view's parser takes as it stands: every
// element it opens is closed, a row stands only directly in a kept table, a
// cell only directly in a kept row and a list item only directly in a
// list; a row, cell or list item anywhere else is shown as text. (Given a
// row or cell outside a table, the parser makes a table for it, inside
// whatever table is open: tables the bounds never counted.)
QString SafeHtml(QString const& i_text);

// Plain text from outside (a chat line, a ticker) as a plain-text view can
// lay it out in bounded time, by the rules by which SafeHtml bounds what
// markup shows: a zero-width space after every MAX_RUN characters of a
// word, at most MAX_MARKS marks on a character, and no more than i_limit
// characters counted, a change of script or direction counting
// RUN_CHANGE_WEIGHT more, each line break one (and at most MAX_SHOWN_LINES
// of them). Nothing is added where the text was cut: each view says so in
// its own way.
struct ShownText
{
    QString m_text;
    int m_counted = 0; // against i_limit
    bool m_cut = false;
};
ShownText BoundedText(QString const& i_text, int i_limit);

// A document that loads nothing that its markup names: no file, program
// resource, data address or network resource, for an image, a style sheet
// or a background. It draws only the images added to it (addResource); an
// image it does not hold takes no room and is not drawn.
class SealedDocument : public QTextDocument
{
    Q_OBJECT

public:
    explicit SealedDocument(QObject* ip_parent = nullptr);

protected:
    QVariant loadResource(int i_type, QUrl const& i_name) override;
};

// Gives the view a sealed document (a view that later makes documents of
// its own must make them sealed too), has it follow no link and show tool
// tips of its text as plain text (a tool tip is markup that may load
// images).
void SealView(QTextEdit* ip_view);

} // namespace OutsideMarkup

#endif
