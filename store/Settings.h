#ifndef QUILLMAR_STORE_SETTINGS_H
#define QUILLMAR_STORE_SETTINGS_H

// Settings are store items: a "global" item keyed by the setting name, linked
// to one shared "global_value" item keyed by the value text. "vglobal" items
// have the same shape but live only for the process (never saved). Switches
// hold "yes" or "no"; an unset setting reads as the empty text.

#include "store/Data.h"

#include <QString>

// Declares "global", "vglobal" and "global_value" with their relations when
// they are not declared yet (the shell does this at start-up; tests do the
// same). Saving is registered by the caller that owns the data saver.
void DeclareSettingsTypes(Data& io_data = d);

Item GetSettingItem(char const* ip_key);         // the "global" item (created)
QString GetSetting(char const* ip_key);          // "" when unset
int GetSettingInt(char const* ip_key);           // 0 when unset or not a number
void SetSetting(char const* ip_key, QString const& i_value);
void SetSetting(char const* ip_key, qint64 i_value);
bool IsSettingYes(char const* ip_key);           // linked to the value "yes"
void SetSwitch(char const* ip_key, bool i_on);   // writes "yes" or "no"
bool IsSettingSet(char const* ip_key);           // has any value

QString GetVSetting(char const* ip_key);
void SetVSetting(char const* ip_key, QString const& i_value);
bool IsVSettingYes(char const* ip_key);

#endif
