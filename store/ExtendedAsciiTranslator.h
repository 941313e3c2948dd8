#ifndef QUILLMAR_STORE_EXTENDEDASCIITRANSLATOR_H
#define QUILLMAR_STORE_EXTENDEDASCIITRANSLATOR_H

// Reads text that is not valid UTF-8 through an 8-bit code page chosen by the
// user (setting "extended_ascii_codepage", a codec name; empty means none, in
// which case the store falls back to Latin-1). It installs itself as the
// store's code-page decoder and follows the setting by itself.

#include "store/Data.h"

#include <string>

class QTextCodec;

class ExtendedAsciiTranslator : public DataHandler
{
public:
    ExtendedAsciiTranslator();
    ~ExtendedAsciiTranslator() override;

    // Stores the setting; the decoder follows it.
    void SetCodePage(std::string const& i_name);
    // The codec in use, or null when there is none.
    QTextCodec* GetCodec() const;

private:
    void OnSettingChanged(ConnectionInfo& i_info);
    void Apply(QString const& i_name);
};

extern ExtendedAsciiTranslator* extendedAsciiTranslator;

#endif
