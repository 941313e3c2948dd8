#ifndef QUILLMAR_UI_WIDGETS_GLOBALS_H
#define QUILLMAR_UI_WIDGETS_GLOBALS_H

#include <QString>
#include <QtGlobal>

#include <functional>

class QIcon;

// Set when shutdown has begun: later saves do nothing, and the tool bars
// ignore focus changes, clicks and destroyed widgets.
extern bool g_showIsOver;
// The saved data has been loaded (or the load was attempted and failed).
extern bool g_dataLoaded;
// The program's build date as the number YYYYMMDD.
extern qint64 g_currentVersion;

// The build date as YYYYMMDD, from a compiler date text such as "May 18 2013"
// or "May  8 2013"; 0 when the text cannot be read.
qint64 VersionFromBuildDate(QString const& i_date);

// What the kit asks of the main window, which lives in a library above it.
// The main window fills these in; until it does they do nothing, and the
// main window counts as inactive.
struct MainWindowHooks
{
    std::function<void(QIcon const&)> m_setIcon;      // its own icon and the tray's
    std::function<void()> m_resetIcon;                // the connection-state icon
    std::function<void(QString const&)> m_popupAlert; // a tray balloon
    std::function<bool()> m_isActive;                 // the user is looking at it
};
void SetMainWindowHooks(MainWindowHooks i_hooks);

// Makes the icon at that resource path the application's icon; the main
// window, when it exists, also takes it for itself and its tray icon.
void SetApplicationIcon(QString const& i_iconPath);
// The icon of the connection and away state.
void ResetApplicationIcon();
// A balloon of the tray icon, when there is a tray.
void PopupAlert(QString const& i_text);
bool IsMainWindowActive();

// The network's web host (supporter page, port test, update check).
extern char const* const g_webHost;

#endif
