#ifndef QUILLMAR_UI_WIDGETS_OUTSIDETEXT_H
#define QUILLMAR_UI_WIDGETS_OUTSIDETEXT_H

// Text from outside (a user, room or file name, a search, a server's
// reason) as each kind of widget must be given it to show it as it reads.
// Labels, tool tips and message boxes read markup in a text that looks like
// markup; buttons, tabs, menus and group boxes take "&" for the mark of a
// shortcut key; a window title reads "[*]" as the place of its modified
// mark. Markup that is meant to be shown as markup is OutsideMarkup.h's.

#include <QString>

class QLabel;

// A tab title, button, menu entry or group box title that reads as the text
// given.
QString LiteralTitle(QString const& i_text);

// A window title that reads as the text given.
QString LiteralWindowTitle(QString const& i_text);

// A tool tip that reads as the text given (a tool tip is shown as markup
// whenever its text looks like markup).
QString LiteralToolTip(QString const& i_text);

// Makes a label show its texts as given, whatever they look like.
void ShowLiterally(QLabel* ip_label);

#endif
