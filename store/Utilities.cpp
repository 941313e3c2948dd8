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

// ------------------------------------------------------------- isolation

namespace {

QChar const FIRST_STRONG_ISOLATE(0x2068);
QChar const POP_DIRECTIONAL_ISOLATE(0x2069);

// Whether a character can set or carry a direction against the text around
// it: strong right-to-left letters, Arabic digits, the explicit embeddings,
// overrides and isolates, and paragraph separators (which end an isolate).
bool CanTurn(uint i_code)
{
    switch (QChar::direction(i_code)) {
    case QChar::DirL:
    case QChar::DirEN:
    case QChar::DirES:
    case QChar::DirET:
    case QChar::DirCS:
    case QChar::DirNSM:
    case QChar::DirBN:
    case QChar::DirS:
    case QChar::DirWS:
    case QChar::DirON:
        return false;
    default:
        return true;
    }
}

bool OpensIsolate(QChar i_char)
{
    return i_char.unicode() >= 0x2066 && i_char.unicode() <= 0x2068;
}

} // namespace

QString Isolated(QString const& i_text)
{
    bool l_needed = false;
    for (int l_pos = 0; !l_needed && l_pos < i_text.size(); ++l_pos) {
        uint l_code = i_text[l_pos].unicode();
        if (QChar::isHighSurrogate(l_code) && l_pos + 1 < i_text.size() && i_text[l_pos + 1].isLowSurrogate()) {
            l_code = QChar::surrogateToUcs4(i_text[l_pos], i_text[l_pos + 1]);
            ++l_pos;
        }
        l_needed = CanTurn(l_code);
    }
    if (!l_needed)
        return i_text;

    QString l_isolated;
    l_isolated.reserve(i_text.size() + 8);
    l_isolated += FIRST_STRONG_ISOLATE;
    int l_open = 0;
    auto const l_closeAll = [&]() {
        l_isolated += QString(l_open + 1, POP_DIRECTIONAL_ISOLATE);
        l_open = 0;
    };
    for (QChar const l_char : i_text) {
        if (OpensIsolate(l_char)) {
            ++l_open;
        } else if (l_char == POP_DIRECTIONAL_ISOLATE) {
            if (l_open == 0)
                continue;
            --l_open;
        } else if (l_char.direction() == QChar::DirB) {
            // A new paragraph starts with nothing open: ours would not reach it.
            l_closeAll();
            l_isolated += l_char;
            l_isolated += FIRST_STRONG_ISOLATE;
            continue;
        }
        l_isolated += l_char;
    }
    l_closeAll();
    return l_isolated;
}

QString LiteralWindowTitle(QString const& i_text)
{
    // Two marks in a row show as one.
    return Isolated(i_text).replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}
