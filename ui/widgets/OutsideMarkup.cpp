#include "ui/widgets/OutsideMarkup.h"

#include "ui/widgets/OutsideText.h"

#include <QAbstractTextDocumentLayout>
#include <QFontDatabase>
#include <QGuiApplication>
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

// Where the elements that the new element closes by itself begin among the
// open ones (their number when it closes none).
std::size_t ImpliedCloseFrom(std::vector<QString> const& i_open, QString const& i_name)
{
    ImpliedClose const* lp_rule = ImpliedCloseOf(i_name);
    if (lp_rule)
        for (std::size_t l_at = i_open.size(); l_at-- > 0 && !lp_rule->m_bounds.count(i_open[l_at]);)
            if (lp_rule->m_closes.count(i_open[l_at]))
                return l_at;
    return i_open.size();
}

bool IsCell(QString const& i_name)
{
    return i_name == QLatin1String("td") || i_name == QLatin1String("th");
}

// Whether the element may stand directly in i_parent (empty: in nothing).
// The view's parser makes a table of its own for a row or cell that stands
// elsewhere, and puts it in the innermost table open. Nothing but rows
// stands in a table, nor anything but cells in a row: a paragraph there
// closes the paragraph around the table, and the table with it, and the
// rows after it make tables of their own.
bool FitsIn(QString const& i_name, QString const& i_parent)
{
    if (i_parent == QLatin1String("table"))
        return i_name == QLatin1String("tr");
    if (i_parent == QLatin1String("tr"))
        return IsCell(i_name);
    if (i_name == QLatin1String("tr"))
        return i_parent == QLatin1String("table");
    if (IsCell(i_name))
        return i_parent == QLatin1String("tr");
    if (i_name == QLatin1String("li"))
        return i_parent == QLatin1String("ul") || i_parent == QLatin1String("ol");
    return true;
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

// The font families a text may name, by their names in lower case: the
// generic ones and those of the system's fonts, read once. Any other name
// costs the layout a search through the system's fonts (and one more for
// each script it shows in that font) the first time it is shown.
std::map<QString, QString> const& KnownFaces()
{
    static std::map<QString, QString> const s_faces = []() {
        std::map<QString, QString> l_faces;
        for (char const* lp_generic : {"serif", "sans-serif", "monospace", "cursive", "fantasy"})
            l_faces.emplace(lp_generic, lp_generic);
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            for (QString const& l_family : QFontDatabase().families())
                l_faces.emplace(l_family.toLower(), l_family);
        return l_faces;
    }();
    return s_faces;
}

// The families of a face attribute that the text may name, as the system
// spells them: known ones, and no more than MAX_FACES in one text
// (io_named: those it named so far). Empty when none is left.
QString KeptFaces(QString const& i_value, std::set<QString>& io_named)
{
    QStringList l_kept;
    for (QString l_name : i_value.split(',')) {
        l_name = l_name.trimmed().remove('"').remove('\'').toLower();
        auto const l_known = KnownFaces().find(l_name);
        if (l_known == KnownFaces().end() || l_kept.contains(l_known->second))
            continue;
        if (!io_named.count(l_name)) {
            if (int(io_named.size()) >= MAX_FACES)
                continue;
            io_named.insert(l_name);
        }
        l_kept << l_known->second;
    }
    return l_kept.join(',');
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

// The character that an entity (from '&' to ';') stands for, as far as
// what it costs the layout goes: a name other than the commonest stands
// for a symbol.
uint EntityCode(QStringRef const& i_entity)
{
    QStringRef const l_body = i_entity.mid(1, i_entity.size() - 2);
    if (l_body.startsWith('#')) {
        bool l_ok = false;
        uint const l_code = l_body.startsWith(QLatin1String("#x"), Qt::CaseInsensitive)
                                ? l_body.mid(2).toUInt(&l_ok, 16)
                                : l_body.mid(1).toUInt(&l_ok, 10);
        return l_ok && l_code <= 0x10FFFF ? l_code : uint(QChar::ReplacementCharacter);
    }
    static std::map<QString, uint> const s_names = {{"amp", '&'}, {"lt", '<'},   {"gt", '>'},
                                                    {"quot", '"'}, {"apos", '\''}, {"nbsp", QChar::Nbsp}};
    auto const l_name = s_names.find(l_body.toString());
    return l_name == s_names.end() ? uint(QChar::ReplacementCharacter) : l_name->second;
}

// Where the layout starts a new run: where the script changes (a character
// common to all scripts, a space or a digit, takes the script before it)
// and where the direction does (a number after right-to-left letters runs
// the other way; an embedding, override or isolate may open a level of its
// own). Symbols (emoji among them) and characters without a script count
// as a script of their own: a font other than the letters' draws them,
// and every change of font is shaped apart too. Marks stay with their
// letter.
class RunStarts
{
public:
    bool At(uint i_code)
    {
        if (QChar::isMark(i_code))
            return false;
        QChar::Category const l_category = QChar::category(i_code);
        int l_script = QChar::script(i_code);
        if (l_script == QChar::Script_Unknown || l_category == QChar::Symbol_Other ||
            l_category == QChar::Other_Control || l_category == QChar::Other_PrivateUse ||
            l_category == QChar::Other_Surrogate || l_category == QChar::Other_NotAssigned)
            l_script = SYMBOLS;
        else if (l_script <= QChar::Script_Common)
            l_script = m_script;
        int l_direction = m_direction;
        bool l_explicit = false;
        switch (QChar::direction(i_code)) {
        case QChar::DirL:
            l_direction = m_strong = LEFT;
            break;
        case QChar::DirR:
        case QChar::DirAL:
            l_direction = m_strong = RIGHT;
            break;
        case QChar::DirEN:
            l_direction = m_strong == RIGHT ? NUMBER : LEFT;
            break;
        case QChar::DirAN:
            l_direction = NUMBER;
            break;
        case QChar::DirLRE:
        case QChar::DirRLE:
        case QChar::DirLRO:
        case QChar::DirRLO:
        case QChar::DirPDF:
        case QChar::DirLRI:
        case QChar::DirRLI:
        case QChar::DirFSI:
        case QChar::DirPDI:
            l_explicit = true;
            break;
        default: // takes the direction around it
            break;
        }
        bool const l_starts = l_explicit || (m_script != NONE && l_script != m_script) ||
                              (m_direction != NONE && l_direction != m_direction);
        m_script = l_script;
        m_direction = l_direction;
        return l_starts;
    }

private:
    static constexpr int NONE = -1;
    static constexpr int SYMBOLS = -2;
    enum { LEFT, RIGHT, NUMBER };

    int m_script = NONE;
    int m_direction = NONE;
    int m_strong = LEFT;
};

// A space that joins the words on either side: not a place to break.
bool IsNoBreakSpace(uint i_code)
{
    return i_code == QChar::Nbsp || i_code == 0x2007 || i_code == 0x202F;
}

// A character that starts a new line in a preformatted block, or anywhere.
bool IsLineBreak(uint i_code)
{
    return i_code == '\n' || i_code == QChar::LineSeparator || i_code == QChar::ParagraphSeparator;
}

// The markup as it is written, with what it shows counted against the
// bounds on what is shown; or, for plain text, the text itself with the
// same bounds. Each writing call returns false once the text has been cut.
class Writer
{
public:
    enum Form
    {
        MARKUP,
        PLAIN
    };

    Writer(QString const& i_text, Form i_form, int i_limit) : m_text(i_text), m_form(i_form), m_limit(i_limit)
    {
        m_html.reserve(int(std::min<qint64>(i_text.size(), 2 * qint64(i_limit))) + 64);
    }

    QString const& Html() const { return m_html; }
    bool IsCut() const { return m_cut; }
    int Shown() const { return m_shown; }

    // Markup that shows nothing by itself.
    void Markup(QString const& i_markup) { m_html += i_markup; }
    // A block starts: words start afresh.
    void Break() { m_run = m_marks = 0; }
    // A table lays its cells out more than once: what they show counts
    // twice.
    void SetInTable(bool i_inTable) { m_weight = i_inTable ? 2 : 1; }

    // A line break, written as i_written.
    bool Line(QStringRef const& i_written)
    {
        if (m_lines >= MAX_SHOWN_LINES)
            m_cut = true;
        if (!Count(1))
            return false;
        m_html += i_written;
        ++m_lines;
        Break();
        return true;
    }
    bool Line()
    {
        static QString const s_break = QStringLiteral("<br>");
        static QString const s_feed = QStringLiteral("\n");
        return Line(QStringRef(m_form == MARKUP ? &s_break : &s_feed));
    }

    // One character as shown, written as i_written (itself, an entity).
    bool Visible(QStringRef const& i_written, uint i_code)
    {
        if (!Count(m_runStarts.At(i_code) ? 1 + RUN_CHANGE_WEIGHT : 1))
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
    bool Visible(QString const& i_written, uint i_code) { return Visible(QStringRef(&i_written), i_code); }

    // The text between i_from and i_to, with its line feeds made breaks. An
    // entity counts as the character it stands for.
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
            int l_length = 1;
            uint l_code = l_char.unicode();
            int const l_entityEnd = l_char == '&' && m_form == MARKUP ? EntityEnd(m_text, l_pos, i_to) : -1;
            if (l_entityEnd > 0) {
                l_length = l_entityEnd - l_pos;
                l_code = EntityCode(m_text.midRef(l_pos, l_length));
            } else if (l_char.isHighSurrogate() && l_pos + 1 < i_to && m_text[l_pos + 1].isLowSurrogate()) {
                l_code = QChar::surrogateToUcs4(l_char, m_text[l_pos + 1]);
                l_length = 2;
            }
            if (!Character(l_code, m_text.midRef(l_pos, l_length)))
                return false;
            l_pos += l_length;
        }
        return true;
    }

private:
    bool Character(uint i_code, QStringRef const& i_written)
    {
        if (IsLineBreak(i_code))
            return Line(i_written);
        if (QChar::isSpace(i_code) && !IsNoBreakSpace(i_code)) {
            if (!Count(1))
                return false;
            m_html += i_written;
            Break();
            return true;
        }
        if (QChar::isMark(i_code)) {
            // Part of the character before it: no place to break.
            if (m_marks >= MAX_MARKS)
                return true;
            if (!Count(1))
                return false;
            m_html += i_written;
            ++m_marks;
            return true;
        }
        return Visible(i_written, i_code);
    }

    bool Count(int i_characters)
    {
        if (m_cut || m_shown + m_weight * i_characters > m_limit) {
            m_cut = true;
            return false;
        }
        m_shown += m_weight * i_characters;
        return true;
    }

    QString const& m_text;
    Form const m_form;
    int const m_limit;
    QString m_html;
    int m_shown = 0;
    int m_lines = 0;
    int m_run = 0;
    int m_marks = 0;
    int m_weight = 1;
    RunStarts m_runStarts;
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

ShownText BoundedText(QString const& i_text, int i_limit)
{
    Writer l_out(i_text, Writer::PLAIN, i_limit);
    l_out.Text(0, i_text.size());
    return {l_out.Html(), l_out.Shown(), l_out.IsCut()};
}

QString SafeHtml(QString const& i_text)
{
    Writer l_out(i_text, Writer::MARKUP, MAX_SHOWN_CHARACTERS);
    std::vector<QString> l_open;
    int l_tables = 0;
    int l_tags = 0;
    int l_cells = 0;
    std::set<QString> l_faces;
    // Each element closed is closed in the markup too: the view's parser
    // would close some of them elsewhere (a list item closes only the list
    // item it stands in).
    auto const l_closeFrom = [&](std::size_t i_at) {
        while (l_open.size() > i_at) {
            l_tables -= l_open.back() == QLatin1String("table");
            l_out.Markup("</" + l_open.back() + '>');
            l_open.pop_back();
        }
        l_out.SetInTable(l_tables > 0);
    };
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
                l_closeFrom(std::size_t(l_open.rend() - l_match - 1));
                ++l_tags;
                if (!IsInline(l_tag.m_name))
                    l_out.Break();
                l_pos = l_tag.m_end;
                continue;
            }
            // A closing tag with nothing to close reads as text, like the
            // opening tag it stands for when that was not kept.
            l_keep = false;
        }
        bool const l_isTable = l_tag.m_name == QLatin1String("table");
        std::size_t const l_closedFrom = l_keep ? ImpliedCloseFrom(l_open, l_tag.m_name) : l_open.size();
        l_keep = l_keep && !(IsCell(l_tag.m_name) && l_cells >= MAX_CELLS_PER_ROW) &&
                 FitsIn(l_tag.m_name, l_closedFrom > 0 ? l_open[l_closedFrom - 1] : QString()) &&
                 (IsVoid(l_tag.m_name) || int(l_closedFrom) < MAX_DEPTH) && !(l_isTable && l_tables > 0);
        if (!l_keep) {
            if (!l_out.Visible(QStringLiteral("&lt;"), '<'))
                break;
            l_pos = l_lt + 1;
            continue;
        }
        l_closeFrom(l_closedFrom);
        ++l_tags;
        l_pos = l_tag.m_end;
        if (l_tag.m_name == QLatin1String("br")) {
            if (!l_out.Line())
                break;
            continue;
        }
        QString l_markup = '<' + l_tag.m_name;
        for (auto const& l_attribute : l_tag.m_attributes) {
            if (!l_kept->second.count(l_attribute.first) || !IsHarmlessValue(l_attribute.first, l_attribute.second))
                continue;
            QString const l_value = l_attribute.first == QLatin1String("face")
                                        ? KeptFaces(l_attribute.second, l_faces)
                                        : l_attribute.second;
            if (!l_value.isEmpty() || l_attribute.first != QLatin1String("face"))
                l_markup += ' ' + l_attribute.first + '=' + QuotedValue(l_value);
        }
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
    // Whatever the text left open is closed, before the note on a cut text.
    l_closeFrom(0);
    if (l_out.IsCut())
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
