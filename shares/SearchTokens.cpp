#include "shares/SearchTokens.h"

#include <algorithm>

bool IsSearchTokenSeparator(QChar i_char)
{
    ushort const l_code = i_char.unicode();
    if (l_code >= 0x80)
        return l_code > 0xFF;
    return !((l_code >= '0' && l_code <= '9') || (l_code >= 'a' && l_code <= 'z') || (l_code >= 'A' && l_code <= 'Z'));
}

namespace {

bool IsBlankOrSlash(QChar i_char)
{
    ushort const l_code = i_char.unicode();
    return l_code == ' ' || l_code == '/' || l_code == '\\';
}

// UTF-16 to UTF-8 without going through QString and QByteArray: tokens are
// made for every file of every scan. An unpaired surrogate becomes "?", as
// QString::toUtf8() makes it, so that tokens match texts encoded by Qt.
std::string ToUtf8(QChar const* ip_begin, int i_length)
{
    std::string l_bytes;
    l_bytes.reserve(std::size_t(i_length));
    for (int l_index = 0; l_index < i_length; ++l_index) {
        char32_t l_code = ip_begin[l_index].unicode();
        if (l_code >= 0xD800 && l_code <= 0xDFFF) {
            if (l_code <= 0xDBFF && l_index + 1 < i_length && ip_begin[l_index + 1].isLowSurrogate()) {
                l_code = QChar::surrogateToUcs4(ip_begin[l_index], ip_begin[l_index + 1]);
                ++l_index;
            } else {
                l_code = '?';
            }
        }
        if (l_code < 0x80) {
            l_bytes += char(l_code);
        } else if (l_code < 0x800) {
            l_bytes += char(0xC0 | (l_code >> 6));
            l_bytes += char(0x80 | (l_code & 0x3F));
        } else if (l_code < 0x10000) {
            l_bytes += char(0xE0 | (l_code >> 12));
            l_bytes += char(0x80 | ((l_code >> 6) & 0x3F));
            l_bytes += char(0x80 | (l_code & 0x3F));
        } else {
            l_bytes += char(0xF0 | (l_code >> 18));
            l_bytes += char(0x80 | ((l_code >> 12) & 0x3F));
            l_bytes += char(0x80 | ((l_code >> 6) & 0x3F));
            l_bytes += char(0x80 | (l_code & 0x3F));
        }
    }
    return l_bytes;
}

void AddToken(QChar const* ip_begin, int i_length, std::vector<std::string>& io_tokens)
{
    std::string l_token = ToUtf8(ip_begin, i_length);
    if (std::find(io_tokens.begin(), io_tokens.end(), l_token) == io_tokens.end())
        io_tokens.push_back(std::move(l_token));
}

template <class IsSeparator>
void SplitInto(QString const& i_text, IsSeparator i_isSeparator, std::vector<std::string>& io_tokens)
{
    QChar const* const lp_data = i_text.constData();
    int const l_size = i_text.size();
    int l_start = -1;
    for (int l_index = 0; l_index < l_size; ++l_index) {
        if (i_isSeparator(lp_data[l_index])) {
            if (l_start >= 0)
                AddToken(lp_data + l_start, l_index - l_start, io_tokens);
            l_start = -1;
        } else if (l_start < 0) {
            l_start = l_index;
        }
    }
    if (l_start >= 0)
        AddToken(lp_data + l_start, l_size - l_start, io_tokens);
}

} // namespace

void AppendSearchTokens(QString const& i_lowerText, std::vector<std::string>& io_tokens)
{
    SplitInto(i_lowerText, IsSearchTokenSeparator, io_tokens);
    SplitInto(i_lowerText, IsBlankOrSlash, io_tokens);
}
