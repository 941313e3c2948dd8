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

void AddToken(QChar const* ip_begin, int i_length, std::vector<std::string>& io_tokens)
{
    std::string l_token = QString::fromRawData(ip_begin, i_length).toStdString();
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
