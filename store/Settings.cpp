#include "store/Settings.h"

namespace {

// The "global" or "vglobal" type, or null while the settings types are not
// declared: settings may be read before the shell declares them
// (diagnostics read "show_diagnostics" very early); they then read as unset.
Type* SettingsType(char const* ip_type)
{
    if (!d.HasType("global") || !d.HasType("global_value") || !d.HasType(ip_type))
        return nullptr;
    return d.GetType(ip_type);
}

QString ReadValue(char const* ip_type, char const* ip_key)
{
    Type* lp_type = SettingsType(ip_type);
    return lp_type ? lp_type->HasItem(ip_key)["global_value"].AsString() : QString();
}

void WriteValue(char const* ip_type, char const* ip_key, QString const& i_value)
{
    Type* lp_type = SettingsType(ip_type);
    if (!lp_type)
        return;
    Item l_setting = lp_type->GetItem(ip_key);
    l_setting += d.GetType("global_value")->GetItem(i_value);
}

bool IsValueYes(char const* ip_type, char const* ip_key)
{
    Type* lp_type = SettingsType(ip_type);
    return lp_type && lp_type->HasItem(ip_key).IsConnected(d.GetType("global_value")->HasItem("yes"));
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
    for (char const* lp_name : {"global", "vglobal"}) {
        Type* lp_type = io_data.GetType(lp_name);
        if (!lp_type->IsRelatedTo(lp_value))
            lp_type->RelateToType(lp_value, MANY, ONE, false);
    }
}

Item GetSettingItem(char const* ip_key)
{
    Type* lp_global = SettingsType("global");
    return lp_global ? lp_global->GetItem(ip_key) : Item();
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
    return IsValueYes("global", ip_key);
}

void SetSwitch(char const* ip_key, bool i_on)
{
    SetSetting(ip_key, QString(i_on ? "yes" : "no"));
}

bool IsSettingSet(char const* ip_key)
{
    Type* lp_global = SettingsType("global");
    return lp_global && lp_global->HasItem(ip_key).IsConnected("global_value");
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
    return IsValueYes("vglobal", ip_key);
}
