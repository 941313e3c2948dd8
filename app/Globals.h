#ifndef QUILLMAR_APP_GLOBALS_H
#define QUILLMAR_APP_GLOBALS_H

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

// Makes the icon at that resource path the application's icon; the main
// window, when it exists, also takes it for itself and its tray icon.
void SetApplicationIcon(QString const& i_iconPath);
void SetApplicationIconHook(std::function<void(QIcon const&)> i_hook);

// The network's web host (supporter page, port test, update check).
extern char const* const g_webHost;

#endif
