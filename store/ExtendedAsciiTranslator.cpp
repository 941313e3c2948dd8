#include "store/ExtendedAsciiTranslator.h"

#include "store/Settings.h"

#include <QTextCodec>

#include <atomic>

ExtendedAsciiTranslator* extendedAsciiTranslator = nullptr;

namespace {

char const* const SETTING = "extended_ascii_codepage";

// Read by the decoder, which may run on worker threads (stream reads);
// written on the GUI thread. Codecs live as long as the program.
std::atomic<QTextCodec*> g_codec{nullptr};

QString DecodeThroughCodePage(std::string_view i_bytes)
{
    QTextCodec* lp_codec = g_codec.load();
    if (!lp_codec)
        return QString::fromLatin1(i_bytes.data(), int(i_bytes.size()));
    return lp_codec->toUnicode(i_bytes.data(), int(i_bytes.size()));
}

} // namespace

ExtendedAsciiTranslator::ExtendedAsciiTranslator()
{
    extendedAsciiTranslator = this;
    DeclareSettingsTypes();
    d.AddConnectionEventHandler(d["global"], d["global_value"],
                                new EventHandler<ExtendedAsciiTranslator, ConnectionInfo&>(
                                    this, &ExtendedAsciiTranslator::OnSettingChanged));
    SetCodePageDecoder(&DecodeThroughCodePage);
    Apply(GetSetting(SETTING));
}

ExtendedAsciiTranslator::~ExtendedAsciiTranslator()
{
    if (extendedAsciiTranslator != this)
        return; // a newer translator is in charge
    SetCodePageDecoder(nullptr);
    g_codec.store(nullptr);
    extendedAsciiTranslator = nullptr;
}

void ExtendedAsciiTranslator::SetCodePage(std::string const& i_name)
{
    SetSetting(SETTING, QString::fromLatin1(i_name.data(), int(i_name.size())));
}

QTextCodec* ExtendedAsciiTranslator::GetCodec() const { return g_codec.load(); }

void ExtendedAsciiTranslator::OnSettingChanged(ConnectionInfo& i_info)
{
    Item const& l_setting = i_info.m_item1.GetTypeName() == "global" ? i_info.m_item1 : i_info.m_item2;
    Item const& l_value = i_info.m_item1.GetTypeName() == "global" ? i_info.m_item2 : i_info.m_item1;
    if (l_setting.AsStdString() == SETTING)
        Apply(l_value.AsString());
}

void ExtendedAsciiTranslator::Apply(QString const& i_name)
{
    // An unknown name (say, saved by a build with other codecs) means none.
    g_codec.store(i_name.isEmpty() ? nullptr : QTextCodec::codecForName(i_name.toLatin1()));
}
