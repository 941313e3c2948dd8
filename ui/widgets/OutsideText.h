#ifndef QUILLMAR_UI_WIDGETS_OUTSIDETEXT_H
#define QUILLMAR_UI_WIDGETS_OUTSIDETEXT_H

// Text from outside (a user, room or file name, a search, a server's
// reason) as each kind of widget must be given it to show it as it reads.
// Labels, tool tips and message boxes read markup in a text that looks like
// markup; buttons, tabs, menus and group boxes take "&" for the mark of a
// shortcut key; a window title reads "[*]" as the place of its modified
// mark. Markup that is meant to be shown as markup is OutsideMarkup.h's.
//
// Whatever the kind of widget, a text from outside shown inside or beside
// our own is Isolated (store/Utilities.h, which the engines use too) where
// the sentence is composed: its writing direction and the overrides it
// opens end with it.

#include "store/Utilities.h"

#include <QString>

class QIcon;
class QLabel;
class QTabWidget;
class QWidget;

// A tab title, button, menu entry or group box title that reads as the text
// given, isolated.
QString LiteralTitle(QString const& i_text);

// A tool tip that reads as the text given (a tool tip is shown as markup
// whenever its text looks like markup). The text is taken as it is: isolate
// what comes from outside before composing it.
QString LiteralToolTip(QString const& i_text);

// Makes a label show its texts as given, whatever they look like.
void ShowLiterally(QLabel* ip_label);

// Tab titles are bounded: a tab bar measures every title again whenever a
// tab comes or goes, so a sender's 2,000 characters cost each new tab.
// Longer names are cut at the last character (grapheme) boundary within
// both bounds and end in an ellipsis.
constexpr int TITLE_CHARACTERS = 20;
constexpr int TITLE_UNITS = 60;
// The start of the name, cut as above and isolated (a name within the
// bounds whole, isolated).
QString ShortName(QString const& i_name);
// Whether ShortName cuts the name.
bool IsCut(QString const& i_name);
// ShortName with "&" doubled: what a tab title shows.
QString TabTitle(QString const& i_name);
// Adds the page's tab, named: its title from TabTitle after our own
// i_before, the whole name in its tool tip. The index of the tab.
int AddNamedTab(QTabWidget* ip_tabs, QWidget* ip_page, QIcon const& i_icon, QString const& i_name,
                QString const& i_before = QString());

#endif
