// The filter of markup from strangers (OutsideMarkup::SafeHtml: another
// user's description, an administrator's message), its result laid out in
// a document as the views lay it out. The input is the text, in UTF-8.
//
// The layout's cost is bounded by what the filter counts: tables one level
// deep, rows and cells within a table, the characters and lines shown, the
// font families named. A run fails when the document holds a table inside
// a table, or more tables, rows or cells than the markup the filter wrote
// keeps, or when the document asked for a resource or names an image or a
// background: the view's parser makes elements of its own (a table for
// every row or cell outside one) where the filter's tree is not the one it
// builds. It fails too when the layout made more lines than the shown
// characters, line breaks and elements can fill, or when the text names
// more font families than the filter keeps (each new one costs a search
// through the system's fonts).

#include "ui/widgets/OutsideMarkup.h"

#include <QAbstractTextDocumentLayout>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSet>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QTextTable>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// A document that says so when its markup asks it for anything.
class RecordingDocument : public QTextDocument
{
public:
    QStringList m_asked;

protected:
    QVariant loadResource(int, QUrl const& i_name) override
    {
        m_asked << i_name.toString();
        return QVariant();
    }
};

[[noreturn]] void Fail(QString const& i_why, QString const& i_html)
{
    std::fprintf(stderr, "%s\nin: %s\n", qPrintable(i_why), qPrintable(QString(i_html).replace(QChar(0), QLatin1String("\\0"))));
    __builtin_trap();
}

// What the filter's markup keeps: its tables, their rows, and their grid
// cells (rows times the most cells of a row: the document fills short rows
// up). The markup is a tree whose every '<' that is not a tag is written
// "&lt;".
struct Kept
{
    int m_tables = 0;
    int m_rows = 0;
    int m_cells = 0;
};

Kept KeptOf(QString const& i_html)
{
    static QRegularExpression const s_tag(QStringLiteral("<(/?)(table|tr|td|th)[ >]"));
    Kept l_kept;
    int l_rows = 0, l_cells = 0, l_widest = 0;
    auto l_match = s_tag.globalMatch(i_html);
    while (l_match.hasNext()) {
        QRegularExpressionMatch const l_tag = l_match.next();
        QString const l_name = l_tag.captured(2);
        if (!l_tag.captured(1).isEmpty()) {
            if (l_name == QLatin1String("table"))
                l_kept.m_cells += l_rows * l_widest;
            continue;
        }
        if (l_name == QLatin1String("table")) {
            ++l_kept.m_tables;
            l_rows = l_cells = l_widest = 0;
        } else if (l_name == QLatin1String("tr")) {
            ++l_kept.m_rows;
            ++l_rows;
            l_cells = 0;
        } else {
            l_widest = std::max(l_widest, ++l_cells);
        }
    }
    return l_kept;
}

bool NamesResource(QTextFormat const& i_format)
{
    return i_format.isImageFormat() || i_format.hasProperty(QTextFormat::BackgroundImageUrl);
}

void CheckFrames(QTextFrame* ip_frame, bool i_inTable, Kept& io_found, QString const& i_html)
{
    for (QTextFrame* lp_child : ip_frame->childFrames()) {
        if (NamesResource(lp_child->frameFormat()))
            Fail(QStringLiteral("a frame names a resource"), i_html);
        QTextTable* lp_table = qobject_cast<QTextTable*>(lp_child);
        if (lp_table) {
            if (i_inTable)
                Fail(QStringLiteral("a table inside a table"), i_html);
            ++io_found.m_tables;
            io_found.m_rows += lp_table->rows();
            io_found.m_cells += lp_table->rows() * lp_table->columns();
            if (lp_table->columns() > OutsideMarkup::MAX_CELLS_PER_ROW)
                Fail(QStringLiteral("a table of %1 columns").arg(lp_table->columns()), i_html);
        }
        CheckFrames(lp_child, i_inTable || lp_table, io_found, i_html);
    }
}

// The font families that a format names, but the system's own fixed-pitch
// family, which Qt gives the text of a <tt> element whatever the text
// says: one look-up, the same for every text.
void AddFamilies(QTextCharFormat const& i_format, QSet<QString>& io_families)
{
    static QString const s_fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    auto const l_add = [&io_families](QString const& i_family) {
        if (i_family != s_fixed)
            io_families.insert(i_family);
    };
    if (i_format.hasProperty(QTextFormat::FontFamily))
        l_add(i_format.fontFamily());
    for (QVariant const& l_family : i_format.fontFamilies().toList())
        l_add(l_family.toString());
}

// The most lines a layout of the filter's markup can make: one for every
// character shown (a cell narrower than a letter), every line break and
// every block an element may open, and the note on a cut text.
int const MOST_LINES = OutsideMarkup::MAX_SHOWN_CHARACTERS + OutsideMarkup::MAX_SHOWN_CHARACTERS / OutsideMarkup::MAX_RUN +
                       OutsideMarkup::MAX_SHOWN_LINES + 4 * OutsideMarkup::MAX_TAGS + 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    static int s_argc = 1;
    static char s_name[] = "fuzz_outside_markup";
    static char* s_argv[] = {s_name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication* sp_app = nullptr;
    if (!sp_app) {
        sp_app = new QGuiApplication(s_argc, s_argv);
        // The application goes before Qt's font caches, which a layout makes
        // (an application torn down after them leaves their fonts behind).
        QTextDocument l_first;
        l_first.setHtml(QStringLiteral("<table><tr><td>a</td></tr></table><ul><li>b</li></ul>"));
        l_first.documentLayout()->documentSize();
        std::atexit([]() { delete sp_app; });
    }

    QString const l_html =
        OutsideMarkup::SafeHtml(QString::fromUtf8(reinterpret_cast<char const*>(ip_data), int(i_size)));
    RecordingDocument l_document;
    l_document.setTextWidth(600);
    l_document.setHtml(l_html);
    l_document.documentLayout()->documentSize();

    if (!l_document.m_asked.isEmpty())
        Fail(QStringLiteral("asked for ") + l_document.m_asked.join(QStringLiteral(", ")), l_html);
    QSet<QString> l_families;
    int l_lines = 0;
    for (QTextBlock l_block = l_document.begin(); l_block.isValid(); l_block = l_block.next()) {
        if (NamesResource(l_block.blockFormat()) || NamesResource(l_block.charFormat()))
            Fail(QStringLiteral("a block names a resource"), l_html);
        AddFamilies(l_block.charFormat(), l_families);
        for (auto l_it = l_block.begin(); !l_it.atEnd(); ++l_it) {
            if (NamesResource(l_it.fragment().charFormat()))
                Fail(QStringLiteral("text names a resource"), l_html);
            AddFamilies(l_it.fragment().charFormat(), l_families);
        }
        l_lines += l_block.layout()->lineCount();
    }
    if (l_families.size() > OutsideMarkup::MAX_FACES)
        Fail(QStringLiteral("%1 font families named: %2")
                 .arg(l_families.size())
                 .arg(QStringList(l_families.values()).join(QStringLiteral(" | "))),
             l_html);
    if (l_lines > MOST_LINES)
        Fail(QStringLiteral("%1 lines laid out").arg(l_lines), l_html);
    Kept l_found;
    CheckFrames(l_document.rootFrame(), false, l_found, l_html);
    Kept const l_kept = KeptOf(l_html);
    if (l_found.m_tables > l_kept.m_tables || l_found.m_rows > l_kept.m_rows || l_found.m_cells > l_kept.m_cells)
        Fail(QStringLiteral("%1 tables, %2 rows, %3 cells where the markup keeps %4, %5, %6")
                 .arg(l_found.m_tables)
                 .arg(l_found.m_rows)
                 .arg(l_found.m_cells)
                 .arg(l_kept.m_tables)
                 .arg(l_kept.m_rows)
                 .arg(l_kept.m_cells),
             l_html);
    return 0;
}
