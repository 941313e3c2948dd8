#include "store/Utilities.h"

#include "store/Data.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cctype>

namespace {

bool IsSeparator(char i_c) { return i_c == '/' || i_c == '\\'; }

void DropOneTrailingSeparator(std::string& io_path)
{
    if (!io_path.empty() && IsSeparator(io_path.back()))
        io_path.pop_back();
}

} // namespace

std::string GetFileName(std::string i_path)
{
    DropOneTrailingSeparator(i_path);
    std::size_t const l_last = i_path.find_last_of("/\\");
    return l_last == std::string::npos ? i_path : i_path.substr(l_last + 1);
}

std::string GetFolder(std::string i_path)
{
    DropOneTrailingSeparator(i_path);
    std::size_t const l_last = i_path.find_last_of("/\\");
    return l_last == std::string::npos ? i_path : i_path.substr(0, l_last);
}

std::string GetParentFolder(std::string i_path)
{
    while (!i_path.empty() && i_path.back() == '\\')
        i_path.pop_back();
    if (i_path.empty())
        return std::string();
    return GetFolder(i_path);
}

std::string GetFileExtension(std::string i_name)
{
    std::size_t const l_dot = i_name.rfind('.');
    if (l_dot == std::string::npos)
        return std::string();
    std::string l_extension = i_name.substr(l_dot + 1);
    for (char& l_c : l_extension)
        l_c = static_cast<char>(std::tolower(static_cast<unsigned char>(l_c)));
    return l_extension;
}

QString FormatSeconds(long i_seconds)
{
    if (i_seconds < 0)
        i_seconds = 0;
    long const l_days = i_seconds / 86400;
    long const l_hours = (i_seconds / 3600) % 24;
    long const l_minutes = (i_seconds / 60) % 60;
    long const l_seconds = i_seconds % 60;
    QString l_text;
    if (l_days != 0)
        l_text += QString::number(l_days) + "d";
    if (l_days != 0 || l_hours != 0)
        l_text += QString::number(l_hours) + "h";
    l_text += QString::number(l_minutes) + "m" + QString::number(l_seconds) + "s";
    return l_text;
}

std::string StringReplace(std::string i_text, std::string const& i_from, std::string const& i_to)
{
    if (i_from.empty())
        return i_text;
    std::size_t l_position = 0;
    while ((l_position = i_text.find(i_from, l_position)) != std::string::npos) {
        i_text.replace(l_position, i_from.size(), i_to);
        l_position += i_to.size();
    }
    return i_text;
}

QString ToQString(std::string const& i_bytes) { return DecodeStoredText(i_bytes); }

QString CommafyNumber(long long i_number)
{
    if (i_number < 1)
        return QString();
    QString l_digits = QString::number(i_number);
    for (int l_position = l_digits.size() - 3; l_position > 0; l_position -= 3)
        l_digits.insert(l_position, ',');
    return l_digits;
}

QString ReversePathname(QString const& i_path)
{
    QString l_path = i_path;
    while (!l_path.isEmpty() && (l_path.endsWith('/') || l_path.endsWith('\\')))
        l_path.chop(1);
    // An absolute path (as peers on Unix send them) would end in a "/".
    while (l_path.startsWith('/') || l_path.startsWith('\\'))
        l_path.remove(0, 1);
    // Either separator; not through a pattern, which was made again for
    // every row of an answer of many folders.
    QStringList l_parts = l_path.replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    std::reverse(l_parts.begin(), l_parts.end());
    return l_parts.join('/');
}

QString EscapeHTML(QString i_text)
{
    i_text.replace("&", "&amp;");
    i_text.replace("<", "&lt;");
    i_text.replace(">", "&gt;");
    i_text.replace("  ", " &nbsp;");
    return i_text;
}

QRegularExpression const& WebAddressPattern()
{
    static QRegularExpression const s_link(
        "(\\bhttps?://[-a-zA-Z0-9+&@#/%?=~_|!:,.;]*[a-zA-Z0-9+&@#/%=~_|])");
    return s_link;
}

QString ConvertLinks(QString const& i_text)
{
    QString l_text = i_text;
    return l_text.replace(WebAddressPattern(), "<a href=\"\\1\">\\1</a>");
}
