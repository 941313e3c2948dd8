#include "store/Settings.h"

namespace {

// Settings may be read before the shell declares their types (diagnostics
// read "show_diagnostics" very early); they then read as unset.
bool HaveSettingsTypes()
{
    return d.HasType("global") && d.HasType("global_value");
}

QString ReadValue(char const* ip_type, char const* ip_key)
{
    if (!HaveSettingsTypes() || !d.HasType(ip_type))
        return QString();
    Item l_setting = d.GetType(ip_type)->HasItem(ip_key);
    return l_setting["global_value"].AsString();
}

void WriteValue(char const* ip_type, char const* ip_key, QString const& i_value)
{
    if (!HaveSettingsTypes() || !d.HasType(ip_type))
        return;
    Item l_setting = d.GetType(ip_type)->GetItem(ip_key);
    l_setting += d.GetType("global_value")->GetItem(i_value);
}

} // namespace

void DeclareSettingsTypes(Data& io_data)
{
    if (!io_data.HasType("global"))
        io_data.NewType("global", ROOT, false, true);
    if (!io_data.HasType("vglobal"))
        io_data.NewType("vglobal", ROOT, false, true);
    if (!io_data.HasType("global_value"))
        io_data.NewType("global_value", LEAF, false, true);
    Type* lp_value = io_data.GetType("global_value");
    if (!io_data.GetType("global")->IsRelatedTo(lp_value))
        io_data.GetType("global")->RelateToType(lp_value, MANY, ONE, false);
    if (!io_data.GetType("vglobal")->IsRelatedTo(lp_value))
        io_data.GetType("vglobal")->RelateToType(lp_value, MANY, ONE, false);
}

Item GetSettingItem(char const* ip_key)
{
    if (!HaveSettingsTypes())
        return Item();
    return d.GetType("global")->GetItem(ip_key);
}

QString GetSetting(char const* ip_key)
{
    return ReadValue("global", ip_key);
}

int GetSettingInt(char const* ip_key)
{
    bool l_ok = false;
    int l_value = GetSetting(ip_key).toInt(&l_ok);
    return l_ok ? l_value : 0;
}

void SetSetting(char const* ip_key, QString const& i_value)
{
    WriteValue("global", ip_key, i_value);
}

void SetSetting(char const* ip_key, qint64 i_value)
{
    WriteValue("global", ip_key, QString::number(i_value));
}

bool IsSettingYes(char const* ip_key)
{
    if (!HaveSettingsTypes())
        return false;
    Item l_yes = d.GetType("global_value")->HasItem("yes");
    return d.GetType("global")->HasItem(ip_key).IsConnected(l_yes);
}

void SetSwitch(char const* ip_key, bool i_on)
{
    SetSetting(ip_key, QString(i_on ? "yes" : "no"));
}

bool IsSettingSet(char const* ip_key)
{
    if (!HaveSettingsTypes())
        return false;
    return d.GetType("global")->HasItem(ip_key).IsConnected("global_value");
}

QString GetVSetting(char const* ip_key)
{
    return ReadValue("vglobal", ip_key);
}

void SetVSetting(char const* ip_key, QString const& i_value)
{
    WriteValue("vglobal", ip_key, i_value);
}

bool IsVSettingYes(char const* ip_key)
{
    if (!HaveSettingsTypes() || !d.HasType("vglobal"))
        return false;
    Item l_yes = d.GetType("global_value")->HasItem("yes");
    return d.GetType("vglobal")->HasItem(ip_key).IsConnected(l_yes);
}
