#include "ui/widgets/ColorTable.h"

#include "store/Data.h"
#include "store/DataSaver.h"

namespace {

struct Entry
{
    char const* mp_key;
    char const* mp_label;
    QPalette::ColorRole m_role; // NoRole: a fixed default
    QRgb m_default;
};

Entry const s_entries[] = {
    {"window_background", "Window Background", QPalette::Window, 0},
    {"window_text", "Window Text", QPalette::WindowText, 0},
    {"input_background", "Input Background", QPalette::Base, 0},
    {"input_text", "Input Text", QPalette::Text, 0},
    {"button_background", "Button Background", QPalette::Button, 0},
    {"button_text", "Button Text", QPalette::ButtonText, 0},
    {"transfer_queued", "Transfers - Queued", QPalette::NoRole, qRgb(51, 102, 255)},
    {"transfer_complete", "Transfers - Complete", QPalette::NoRole, qRgb(0, 100, 0)},
    {"transfer_in_progress", "Transfers - In Progress", QPalette::NoRole, qRgb(0, 0, 255)},
    {"transfer_failed", "Transfers - Failed", QPalette::NoRole, qRgb(255, 10, 71)},
    {"transfer_paused", "Transfers - Paused", QPalette::NoRole, qRgb(240, 141, 41)},
    {"transfer_other", "Transfers - Other", QPalette::NoRole, qRgb(0, 0, 0)},
    {"chat_username", "Chat - Usernames", QPalette::NoRole, qRgb(0, 51, 255)},
    {"chat_timestamp", "Chat - Timestamps", QPalette::NoRole, qRgb(0, 102, 255)},
    {"chat_status", "Chat - Statuses", QPalette::NoRole, qRgb(51, 153, 51)},
    {"chat_own_messages", "Chat - Own Messages", QPalette::NoRole, qRgb(0, 170, 255)},
};

Item EntryItem(char const* ip_key)
{
    return d["color_setting"]->GetItem(Value(ip_key));
}

void Relink(Item const& i_entry, char const* ip_type, QString const& i_text)
{
    i_entry += d[ip_type]->GetItem(Value(i_text));
}

} // namespace

void DeclareColorTable(QPalette const& i_desktopPalette)
{
    if (!d.HasType("color_setting")) {
        d.NewType("color_setting", ROOT, false, true);
        d.NewType("color_setting_value", LEAF, false, true);
        d.NewType("color_setting_default_value", LEAF, false, true);
        d.NewType("color_setting_text", LEAF, false, true);
        d["color_setting"]->RelateToType(d["color_setting_value"], MANY, ONE, false);
        d["color_setting"]->RelateToType(d["color_setting_default_value"], MANY, ONE, false);
        d["color_setting"]->RelateToType(d["color_setting_text"], ONE, ONE, false);
    }
    if (dataSaver) {
        dataSaver->AddSavedType("color_setting");
        dataSaver->AddSavedType("color_setting_value");
    }
    for (Entry const& l_entry : s_entries) {
        QColor const l_color = l_entry.m_role == QPalette::NoRole ? QColor(l_entry.m_default)
                                                                   : i_desktopPalette.color(l_entry.m_role);
        Item const l_setting = EntryItem(l_entry.mp_key);
        Relink(l_setting, "color_setting_value", l_color.name());
        Relink(l_setting, "color_setting_text", QString::fromLatin1(l_entry.mp_label));
    }
    for (Item const& l_setting : d["color_setting"]->GetItems())
        Relink(l_setting, "color_setting_default_value", l_setting["color_setting_value"].AsString());
}

namespace {

// The setting's value as stored; empty for none.
QString ColorSettingText(char const* ip_key)
{
    if (!d.HasType("color_setting"))
        return QString();
    return d["color_setting"]->HasItem(Value(ip_key))["color_setting_value"].AsString();
}

} // namespace

QColor ColorSetting(char const* ip_key)
{
    QString const l_text = ColorSettingText(ip_key);
    if (l_text.isNull())
        return QColor();
    QColor l_color;
    l_color.setNamedColor(l_text);
    return l_color;
}

QString ColorSettingName(char const* ip_key)
{
    QString const l_text = ColorSettingText(ip_key);
    // A colour as the table writes it is its own name already: the chat
    // views read four for every line.
    bool l_named = l_text.size() == 7 && l_text.at(0) == QLatin1Char('#');
    for (int l_at = 1; l_named && l_at < 7; ++l_at) {
        ushort const l_code = l_text.at(l_at).unicode();
        l_named = (l_code >= '0' && l_code <= '9') || (l_code >= 'a' && l_code <= 'f');
    }
    if (l_named)
        return l_text;
    QColor l_color;
    l_color.setNamedColor(l_text);
    return l_color.isValid() ? l_color.name() : QString();
}

void ApplyPaletteColors(QPalette& io_palette)
{
    for (Entry const& l_entry : s_entries) {
        if (l_entry.m_role == QPalette::NoRole)
            continue;
        // A data file may hold any text: a colour that does not parse keeps
        // the desktop's, rather than turning the window black.
        QColor const l_color = ColorSetting(l_entry.mp_key);
        if (!l_color.isValid())
            continue;
        // The disabled group keeps what the desktop's palette derives for
        // it: set to the same colours, a disabled button would look
        // exactly like an enabled one.
        io_palette.setBrush(QPalette::Active, l_entry.m_role, QBrush(l_color));
        io_palette.setBrush(QPalette::Inactive, l_entry.m_role, QBrush(l_color));
    }
}

void ResetColorSettings()
{
    // An entry the data file brought but this build does not know has no
    // default; it keeps its colour.
    for (Item const& l_setting : d["color_setting"]->GetItems())
        if (Item const l_default = l_setting["color_setting_default_value"]; l_default.IsValid())
            Relink(l_setting, "color_setting_value", l_default.AsString());
}
