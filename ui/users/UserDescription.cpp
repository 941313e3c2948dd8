#include "ui/users/UserDescription.h"

#include <QBuffer>
#include <QImageReader>
#include <QRegularExpression>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace UserDescription {

namespace {

// The text layout's cost grows with the depth of nested elements, and
// exponentially with nested tables: twenty tables inside each other hold
// the window for seconds, some hundreds crash it. Descriptions that people
// write stay far inside these bounds.
constexpr int MAX_DEPTH = 24;
constexpr int MAX_TAGS = 512;

// Each kept element with the attributes it keeps. None of them can name a
// resource: images, style sheets, backgrounds and style attributes are not
// among them.
std::map<QString, std::set<QString>> const& KeptElements()
{
    static std::map<QString, std::set<QString>> const s_elements = {
        {"a", {"href", "name"}}, {"b", {}}, {"big", {}}, {"blockquote", {}}, {"br", {}}, {"center", {}},
        {"code", {}}, {"div", {"align"}}, {"em", {}}, {"font", {"color", "face", "size"}}, {"h1", {"align"}},
        {"h2", {"align"}}, {"h3", {"align"}}, {"h4", {"align"}}, {"h5", {"align"}}, {"h6", {"align"}},
        {"hr", {}}, {"i", {}}, {"li", {}}, {"ol", {}}, {"p", {"align"}}, {"pre", {}}, {"s", {}},
        {"small", {}}, {"strong", {}}, {"sub", {}}, {"sup", {}}, {"table", {"border"}}, {"td", {"align"}},
        {"th", {"align"}}, {"tr", {}}, {"tt", {}}, {"u", {}}, {"ul", {}}};
    return s_elements;
}

bool IsVoid(QString const& i_name)
{
    return i_name == QLatin1String("br") || i_name == QLatin1String("hr");
}

// An element that the markup closes by opening the next of its kind
// ("<p>one<p>two" is two paragraphs, not one inside the other): what it
// closes, and what it does not reach past.
struct ImpliedClose
{
    std::set<QString> m_closes;
    std::set<QString> m_bounds;
};

ImpliedClose const* ImpliedCloseOf(QString const& i_name)
{
    static std::map<QString, ImpliedClose> const s_rules = {
        {"p", {{"p"}, {"div", "blockquote", "li", "td", "th", "table", "ul", "ol", "center"}}},
        {"li", {{"li"}, {"ul", "ol", "table"}}},
        {"tr", {{"tr"}, {"table"}}},
        {"td", {{"td", "th"}, {"tr", "table"}}},
        {"th", {{"td", "th"}, {"tr", "table"}}}};
    auto const l_rule = s_rules.find(i_name);
    return l_rule == s_rules.end() ? nullptr : &l_rule->second;
}

// Closes, without writing anything, what the new element closes by itself.
void CloseImplied(std::vector<QString>& io_open, QString const& i_name)
{
    ImpliedClose const* lp_rule = ImpliedCloseOf(i_name);
    if (!lp_rule)
        return;
    for (auto l_it = io_open.rbegin(); l_it != io_open.rend() && !lp_rule->m_bounds.count(*l_it); ++l_it)
        if (lp_rule->m_closes.count(*l_it)) {
            io_open.erase(l_it.base() - 1, io_open.end());
            return;
        }
}

// Attribute values that only change how text looks.
bool IsHarmlessValue(QString const& i_attribute, QString const& i_value)
{
    if (i_attribute == QLatin1String("size") || i_attribute == QLatin1String("border")) {
        // A font size is 1 to 7 or a step of up to 6; a border a few pixels.
        static QRegularExpression const s_size(QStringLiteral("^[+-]?[0-9]$"));
        return s_size.match(i_value).hasMatch();
    }
    return i_value.size() <= 2048;
}

struct Tag
{
    bool m_closing = false;
    QString m_name;
    std::vector<std::pair<QString, QString>> m_attributes;
    int m_end = 0; // the index just after '>'
};

bool IsNameChar(QChar i_char)
{
    return (i_char >= 'a' && i_char <= 'z') || (i_char >= 'A' && i_char <= 'Z') || (i_char >= '0' && i_char <= '9');
}

// Reads a tag that starts at i_at ('<'). False when the text there is not
// a plain start or end tag.
bool ReadTag(QString const& i_text, int i_at, Tag& o_tag)
{
    int l_pos = i_at + 1;
    int const l_size = i_text.size();
    if (l_pos < l_size && i_text[l_pos] == '/') {
        o_tag.m_closing = true;
        ++l_pos;
    }
    int const l_nameStart = l_pos;
    while (l_pos < l_size && IsNameChar(i_text[l_pos]))
        ++l_pos;
    if (l_pos == l_nameStart || !i_text[l_nameStart].isLetter())
        return false;
    o_tag.m_name = i_text.mid(l_nameStart, l_pos - l_nameStart).toLower();
    for (;;) {
        while (l_pos < l_size && i_text[l_pos].isSpace())
            ++l_pos;
        if (l_pos >= l_size)
            return false;
        if (i_text[l_pos] == '>' || (i_text[l_pos] == '/' && l_pos + 1 < l_size && i_text[l_pos + 1] == '>')) {
            o_tag.m_end = i_text.indexOf('>', l_pos) + 1;
            return true;
        }
        int const l_attributeStart = l_pos;
        while (l_pos < l_size && (IsNameChar(i_text[l_pos]) || i_text[l_pos] == '-'))
            ++l_pos;
        if (l_pos == l_attributeStart)
            return false;
        QString const l_attribute = i_text.mid(l_attributeStart, l_pos - l_attributeStart).toLower();
        QString l_value;
        while (l_pos < l_size && i_text[l_pos].isSpace())
            ++l_pos;
        if (l_pos < l_size && i_text[l_pos] == '=') {
            ++l_pos;
            while (l_pos < l_size && i_text[l_pos].isSpace())
                ++l_pos;
            if (l_pos >= l_size)
                return false;
            QChar const l_quote = i_text[l_pos];
            if (l_quote == '"' || l_quote == '\'') {
                int const l_close = i_text.indexOf(l_quote, l_pos + 1);
                if (l_close < 0)
                    return false;
                l_value = i_text.mid(l_pos + 1, l_close - l_pos - 1);
                l_pos = l_close + 1;
            } else {
                int const l_valueStart = l_pos;
                while (l_pos < l_size && !i_text[l_pos].isSpace() && i_text[l_pos] != '>')
                    ++l_pos;
                l_value = i_text.mid(l_valueStart, l_pos - l_valueStart);
            }
        }
        o_tag.m_attributes.emplace_back(l_attribute, l_value);
    }
}

QString QuotedValue(QString i_value)
{
    return '"' + i_value.replace('"', QLatin1String("&quot;")).replace('<', QLatin1String("&lt;")) + '"';
}

} // namespace

QString SafeHtml(QString const& i_description)
{
    QString l_html;
    l_html.reserve(i_description.size() + 64);
    std::vector<QString> l_open;
    int l_tables = 0;
    int l_tags = 0;
    int l_pos = 0;
    while (l_pos < i_description.size()) {
        int const l_lt = i_description.indexOf('<', l_pos);
        if (l_lt < 0) {
            l_html += i_description.midRef(l_pos);
            break;
        }
        l_html += i_description.midRef(l_pos, l_lt - l_pos);
        Tag l_tag;
        auto const l_kept = ReadTag(i_description, l_lt, l_tag) ? KeptElements().find(l_tag.m_name)
                                                                : KeptElements().end();
        bool l_keep = l_kept != KeptElements().end() && l_tags < MAX_TAGS;
        if (l_keep && l_tag.m_closing) {
            auto const l_match = std::find(l_open.rbegin(), l_open.rend(), l_tag.m_name);
            if (l_match != l_open.rend()) {
                // Closing an element closes those opened inside it.
                for (auto l_it = l_open.rbegin(); l_it != l_match + 1; ++l_it) {
                    l_tables -= *l_it == QLatin1String("table");
                    l_html += "</" + *l_it + '>';
                }
                l_open.erase(l_match.base() - 1, l_open.end());
                ++l_tags;
            }
            // A closing tag with nothing to close is dropped.
            l_pos = l_tag.m_end;
            continue;
        }
        if (l_keep)
            CloseImplied(l_open, l_tag.m_name);
        bool const l_isTable = l_tag.m_name == QLatin1String("table");
        l_keep = l_keep && (IsVoid(l_tag.m_name) || int(l_open.size()) < MAX_DEPTH) && !(l_isTable && l_tables > 0);
        if (!l_keep) {
            l_html += QLatin1String("&lt;");
            l_pos = l_lt + 1;
            continue;
        }
        l_html += '<' + l_tag.m_name;
        for (auto const& l_attribute : l_tag.m_attributes)
            if (l_kept->second.count(l_attribute.first) && IsHarmlessValue(l_attribute.first, l_attribute.second))
                l_html += ' ' + l_attribute.first + '=' + QuotedValue(l_attribute.second);
        l_html += '>';
        ++l_tags;
        if (!IsVoid(l_tag.m_name)) {
            l_open.push_back(l_tag.m_name);
            l_tables += l_isTable;
        }
        l_pos = l_tag.m_end;
    }
    return l_html.replace('\n', QLatin1String("<br>"));
}

QString PageHtml(QString const& i_description, bool i_hasPicture, bool i_pictureShown)
{
    QString l_html;
    if (i_pictureShown)
        l_html = QStringLiteral("<img src=\"%1\" /><p>").arg(QLatin1String(PICTURE_RESOURCE));
    if (i_description.isEmpty() && !i_hasPicture)
        l_html += QLatin1String("No user info.");
    else
        l_html += SafeHtml(i_description);
    return l_html;
}

QImage DecodePicture(QByteArray const& i_bytes)
{
    QByteArray l_bytes = i_bytes;
    QBuffer l_buffer(&l_bytes);
    if (!l_buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader l_reader(&l_buffer);
    l_reader.setDecideFormatFromContent(true);
    static std::set<QByteArray> const s_formats = {"png", "jpeg", "jpg", "gif", "bmp"};
    if (!s_formats.count(l_reader.format().toLower()))
        return QImage();
    // The header's size, before a pixel is decoded.
    QSize const l_size = l_reader.size();
    if (!l_size.isValid() || l_size.width() > MAX_DECODED_SIDE || l_size.height() > MAX_DECODED_SIDE ||
        qint64(l_size.width()) * l_size.height() > MAX_DECODED_PIXELS)
        return QImage();
    QImage l_image;
    if (!l_reader.read(&l_image) || l_image.size() != l_size)
        return QImage();
    if (l_image.width() > SHOWN_WIDTH || l_image.height() > SHOWN_HEIGHT)
        l_image = l_image.scaled(SHOWN_WIDTH, SHOWN_HEIGHT, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return l_image;
}

} // namespace UserDescription
