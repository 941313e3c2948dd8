#include "ui/widgets/Globals.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>

bool g_showIsOver = false;
bool g_dataLoaded = false;
qint64 g_currentVersion = 0;
char const* const g_webHost = "localhost";

// The icons are compiled into this static library; register them whenever
// it is linked in, before any window asks for one.
static int InitIcons()
{
    Q_INIT_RESOURCE(quillmar);
    return 0;
}
static int const s_iconsRegistered = InitIcons();

namespace {
MainWindowHooks& Hooks()
{
    static MainWindowHooks s_hooks;
    return s_hooks;
}
} // namespace

qint64 VersionFromBuildDate(QString const& i_date)
{
    static char const* const s_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    QStringList l_parts = i_date.simplified().split(QLatin1Char(' '));
    if (l_parts.size() != 3)
        return 0;
    int l_month = 0;
    for (int l_index = 0; l_index < 12; ++l_index)
        if (l_parts[0] == QLatin1String(s_months[l_index]))
            l_month = l_index + 1;
    bool l_dayOk = false, l_yearOk = false;
    int l_day = l_parts[1].toInt(&l_dayOk);
    int l_year = l_parts[2].toInt(&l_yearOk);
    if (!l_month || !l_dayOk || !l_yearOk || l_day < 1 || l_day > 31 || l_year < 1)
        return 0;
    return qint64(l_year) * 10000 + l_month * 100 + l_day;
}

void SetMainWindowHooks(MainWindowHooks i_hooks)
{
    Hooks() = std::move(i_hooks);
}

void SetApplicationIcon(QString const& i_iconPath)
{
    QIcon l_icon(i_iconPath);
    QApplication::setWindowIcon(l_icon);
    if (Hooks().m_setIcon)
        Hooks().m_setIcon(l_icon);
}

void ResetApplicationIcon()
{
    if (Hooks().m_resetIcon)
        Hooks().m_resetIcon();
}

void PopupAlert(QString const& i_text)
{
    if (Hooks().m_popupAlert)
        Hooks().m_popupAlert(i_text);
}

bool IsMainWindowActive()
{
    return Hooks().m_isActive && Hooks().m_isActive();
}
