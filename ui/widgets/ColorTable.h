#ifndef QUILLMAR_UI_WIDGETS_COLORTABLE_H
#define QUILLMAR_UI_WIDGETS_COLORTABLE_H

#include <QColor>
#include <QPalette>
#include <QString>

// The colour table through which the user recolours the window, the status
// colours of the transfer lists and the elements of the chat views. Each
// entry is a "color_setting" item keyed by the entry's key, linked to its
// current colour ("color_setting_value", saved), its built-in default
// ("color_setting_default_value") and its label ("color_setting_text");
// colours are texts such as "#3366ff". Labels and defaults are rebuilt on
// every start, so only the entries and their current colours are saved.

// Declares the types and fills the sixteen entries with their defaults; the
// first six take theirs from the palette the desktop gave.
void DeclareColorTable(QPalette const& i_desktopPalette);
// The current colour of an entry (invalid when it has none).
QColor ColorSetting(char const* ip_key);
// The same as a colour name ("#rrggbb") for markup: empty when the entry
// holds no colour, so that no stored text (the data file may hold any)
// reaches the markup.
QString ColorSettingName(char const* ip_key);
// Sets the six palette roles from their entries, in the active and inactive
// groups (the disabled group stays as the desktop derived it); an entry
// whose colour is not a valid colour leaves its role as it was.
void ApplyPaletteColors(QPalette& io_palette);
// Every entry back to its built-in default.
void ResetColorSettings();

#endif
