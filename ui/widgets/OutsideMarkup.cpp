#include "ui/widgets/OutsideMarkup.h"

#include "ui/widgets/OutsideText.h"

#include <QAbstractTextDocumentLayout>
#include <QHelpEvent>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QTextObjectInterface>
#include <QToolTip>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace OutsideMarkup {

// Draws the images that a document holds, and none that it would have to
// load: Qt's own handler opens the file, resource or address an image
// names whenever its document has no such resource.
class HeldImages : public QObject, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

public:
    using QObject::QObject;

    QSizeF intrinsicSize(QTextDocument* ip_document, int, QTextFormat const& i_format) override
    {
        return Held(ip_document, i_format).size();
    }

    void drawObject(QPainter* ip_painter, QRectF const& i_rect, QTextDocument* ip_document, int,
                    QTextFormat const& i_format) override
    {
        QImage const l_image = Held(ip_document, i_format);
        if (!l_image.isNull())
            ip_painter->drawImage(i_rect, l_image);
    }

private:
    static QImage Held(QTextDocument* ip_document, QTextFormat const& i_format)
    {
        QVariant const l_held =
            ip_document->resource(QTextDocument::ImageResource, QUrl(i_format.toImageFormat().name()));
        if (l_held.userType() == QMetaType::QImage)
            return l_held.value<QImage>();
        if (l_held.userType() == QMetaType::QPixmap)
            return l_held.value<QPixmap>().toImage();
        return QImage();
    }
};

namespace {

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

bool IsInline(QString const& i_name)
{
    static std::set<QString> const s_inline = {"a",     "b",      "big", "code", "em", "font", "i",
                                               "s",     "small",  "strong", "sub", "sup", "tt", "u"};
    return s_inline.count(i_name) > 0;
}

bool IsCell(QString const& i_name)
{
    return i_name == QLatin1String("td") || i_name == QLatin1String("th");
}

// The end (just after ';') of the character entity that starts at i_at
// ('&'), or -1 when none does.
int EntityEnd(QString const& i_text, int i_at, int i_to)
{
    int const l_last = std::min(i_to, i_at + 12);
    for (int l_pos = i_at + 1; l_pos < l_last; ++l_pos) {
        QChar const l_char = i_text[l_pos];
        if (l_char == ';')
            return l_pos > i_at + 1 ? l_pos + 1 : -1;
        if (!l_char.isLetterOrNumber() && l_char != '#')
            return -1;
    }
    return -1;
}

// The markup as it is written, with what it shows counted against the
// bounds on what is shown. Each writing call returns false once the text
// has been cut.
class Writer
{
public:
    explicit Writer(QString const& i_text) : m_text(i_text)
    {
        m_html.reserve(std::min(i_text.size(), 2 * MAX_SHOWN_CHARACTERS) + 64);
    }

    QString const& Html() const { return m_html; }
    bool IsCut() const { return m_cut; }

    // Markup that shows nothing by itself.
    void Markup(QString const& i_markup) { m_html += i_markup; }
    // A block starts: words start afresh.
    void Break() { m_run = m_marks = 0; }
    // A table lays its cells out more than once: what they show counts
    // twice.
    void SetInTable(bool i_inTable) { m_weight = i_inTable ? 2 : 1; }

    bool Line()
    {
        if (m_lines >= MAX_SHOWN_LINES)
            m_cut = true;
        if (!Count())
            return false;
        m_html += QLatin1String("<br>");
        ++m_lines;
        Break();
        return true;
    }

    // One character as shown, written as i_written (itself, an entity).
    bool Visible(QStringRef const& i_written)
    {
        if (!Count())
            return false;
        if (m_run >= MAX_RUN) {
            m_html += QChar(0x200B);
            m_run = 0;
        }
        m_html += i_written;
        ++m_run;
        m_marks = 0;
        return true;
    }
    bool Visible(QString const& i_written) { return Visible(QStringRef(&i_written)); }

    // The text between i_from and i_to, with its line feeds made breaks.
    bool Text(int i_from, int i_to)
    {
        for (int l_pos = i_from; l_pos < i_to;) {
            QChar const l_char = m_text[l_pos];
            if (l_char == '\n') {
                if (!Line())
                    return false;
                ++l_pos;
                continue;
            }
            if (l_char == '&') {
                int const l_end = EntityEnd(m_text, l_pos, i_to);
                if (l_end > 0) {
                    if (!Visible(m_text.midRef(l_pos, l_end - l_pos)))
                        return false;
                    l_pos = l_end;
                    continue;
                }
            }
            if (l_char.isSpace()) {
                if (!Count())
                    return false;
                m_html += l_char;
                Break();
                ++l_pos;
                continue;
            }
            int l_length = 1;
            uint l_code = l_char.unicode();
            if (l_char.isHighSurrogate() && l_pos + 1 < i_to && m_text[l_pos + 1].isLowSurrogate()) {
                l_code = QChar::surrogateToUcs4(l_char, m_text[l_pos + 1]);
                l_length = 2;
            }
            if (QChar::isMark(l_code)) {
                // Part of the character before it: no place to break.
                if (m_marks < MAX_MARKS) {
                    if (!Count())
                        return false;
                    m_html += m_text.midRef(l_pos, l_length);
                    ++m_marks;
                }
            } else if (!Visible(m_text.midRef(l_pos, l_length))) {
                return false;
            }
            l_pos += l_length;
        }
        return true;
    }

private:
    bool Count()
    {
        if (m_cut || m_shown + m_weight > MAX_SHOWN_CHARACTERS) {
            m_cut = true;
            return false;
        }
        m_shown += m_weight;
        return true;
    }

    QString const& m_text;
    QString m_html;
    int m_shown = 0;
    int m_lines = 0;
    int m_run = 0;
    int m_marks = 0;
    int m_weight = 1;
    bool m_cut = false;
};

// A view's tool tips as plain text.
class LiteralToolTips : public QObject
{
public:
    explicit LiteralToolTips(QTextEdit* ip_view) : QObject(ip_view), mp_view(ip_view) {}

    bool eventFilter(QObject*, QEvent* ip_event) override
    {
        if (ip_event->type() != QEvent::ToolTip)
            return false;
        QHelpEvent const* lp_help = static_cast<QHelpEvent*>(ip_event);
        QString const l_tip = mp_view->cursorForPosition(lp_help->pos()).charFormat().toolTip();
        if (l_tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(lp_help->globalPos(), LiteralToolTip(l_tip), mp_view);
        return true;
    }

private:
    QTextEdit* mp_view;
};

} // namespace

QString CutNote()
{
    return QStringLiteral("[The rest of the text is too long to show.]");
}

QString SafeHtml(QString const& i_text)
{
    Writer l_out(i_text);
    std::vector<QString> l_open;
    int l_tables = 0;
    int l_tags = 0;
    int l_cells = 0;
    int l_pos = 0;
    while (l_pos < i_text.size()) {
        int const l_lt = i_text.indexOf('<', l_pos);
        if (!l_out.Text(l_pos, l_lt < 0 ? i_text.size() : l_lt) || l_lt < 0)
            break;
        Tag l_tag;
        auto const l_kept = ReadTag(i_text, l_lt, l_tag) ? KeptElements().find(l_tag.m_name) : KeptElements().end();
        bool l_keep = l_kept != KeptElements().end() && l_tags < MAX_TAGS;
        if (l_keep && l_tag.m_closing) {
            auto const l_match = std::find(l_open.rbegin(), l_open.rend(), l_tag.m_name);
            if (l_match != l_open.rend()) {
                // Closing an element closes those opened inside it.
                for (auto l_it = l_open.rbegin(); l_it != l_match + 1; ++l_it) {
                    l_tables -= *l_it == QLatin1String("table");
                    l_out.Markup("</" + *l_it + '>');
                }
                l_open.erase(l_match.base() - 1, l_open.end());
                l_out.SetInTable(l_tables > 0);
                ++l_tags;
                if (!IsInline(l_tag.m_name))
                    l_out.Break();
            }
            // A closing tag with nothing to close is dropped.
            l_pos = l_tag.m_end;
            continue;
        }
        l_keep = l_keep && !(IsCell(l_tag.m_name) && l_cells >= MAX_CELLS_PER_ROW);
        if (l_keep)
            CloseImplied(l_open, l_tag.m_name);
        bool const l_isTable = l_tag.m_name == QLatin1String("table");
        l_keep = l_keep && (IsVoid(l_tag.m_name) || int(l_open.size()) < MAX_DEPTH) && !(l_isTable && l_tables > 0);
        if (!l_keep) {
            if (!l_out.Visible(QStringLiteral("&lt;")))
                break;
            l_pos = l_lt + 1;
            continue;
        }
        ++l_tags;
        l_pos = l_tag.m_end;
        if (l_tag.m_name == QLatin1String("br")) {
            if (!l_out.Line())
                break;
            continue;
        }
        QString l_markup = '<' + l_tag.m_name;
        for (auto const& l_attribute : l_tag.m_attributes)
            if (l_kept->second.count(l_attribute.first) && IsHarmlessValue(l_attribute.first, l_attribute.second))
                l_markup += ' ' + l_attribute.first + '=' + QuotedValue(l_attribute.second);
        l_out.Markup(l_markup + '>');
        if (!IsInline(l_tag.m_name))
            l_out.Break();
        if (l_isTable || l_tag.m_name == QLatin1String("tr"))
            l_cells = 0;
        l_cells += IsCell(l_tag.m_name);
        if (!IsVoid(l_tag.m_name)) {
            l_open.push_back(l_tag.m_name);
            l_tables += l_isTable;
            l_out.SetInTable(l_tables > 0);
        }
    }
    if (!l_out.IsCut())
        return l_out.Html();
    // The note stands after the text, outside anything the text opened.
    for (auto l_it = l_open.rbegin(); l_it != l_open.rend(); ++l_it)
        l_out.Markup("</" + *l_it + '>');
    l_out.Markup(QStringLiteral("<p>") + CutNote().toHtmlEscaped() + QStringLiteral("</p>"));
    return l_out.Html();
}

SealedDocument::SealedDocument(QObject* ip_parent)
    : QTextDocument(ip_parent)
{
    documentLayout()->registerHandler(QTextFormat::ImageObject, new HeldImages(this));
}

QVariant SealedDocument::loadResource(int, QUrl const&)
{
    // Not even a data address: what the document holds was added to it.
    return QVariant();
}

void SealView(QTextEdit* ip_view)
{
    ip_view->setDocument(new SealedDocument(ip_view));
    if (QTextBrowser* lp_browser = qobject_cast<QTextBrowser*>(ip_view)) {
        lp_browser->setOpenLinks(false);
        lp_browser->setOpenExternalLinks(false);
    }
    ip_view->viewport()->installEventFilter(new LiteralToolTips(ip_view));
}

} // namespace OutsideMarkup

#include "OutsideMarkup.moc"
