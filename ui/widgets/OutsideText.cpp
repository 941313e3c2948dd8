#include "ui/widgets/OutsideText.h"

#include <QLabel>
#include <QTabWidget>
#include <QTextBoundaryFinder>
#include <QTextDocument>

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

QString LiteralTitle(QString const& i_text)
{
    return Isolated(i_text).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString LiteralWindowTitle(QString const& i_text)
{
    // Two marks in a row show as one.
    return Isolated(i_text).replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

QString LiteralToolTip(QString const& i_text)
{
    // Markup whatever the text: escaped, every character reads as itself.
    return Qt::convertFromPlainText(i_text, Qt::WhiteSpaceNormal);
}

void ShowLiterally(QLabel* ip_label)
{
    ip_label->setTextFormat(Qt::PlainText);
}

namespace {

// Where the name is cut: its length when it is shown whole.
int CutOf(QString const& i_name)
{
    if (i_name.size() <= TITLE_CHARACTERS)
        return i_name.size();
    // Only the start is searched: one character past the bound is enough to
    // tell whether the bound itself is a boundary.
    int const l_searched = qMin(i_name.size(), TITLE_UNITS + 1);
    QTextBoundaryFinder l_finder(QTextBoundaryFinder::Grapheme, i_name.constData(), l_searched);
    int l_cut = 0;
    int l_characters = 0;
    for (int l_next = l_finder.toNextBoundary(); l_next > 0 && l_next <= TITLE_UNITS; l_next = l_finder.toNextBoundary()) {
        if (l_characters == TITLE_CHARACTERS)
            break;
        if (l_next == i_name.size())
            return l_next;
        l_cut = l_next;
        ++l_characters;
    }
    return l_cut;
}

} // namespace

bool IsCut(QString const& i_name)
{
    return CutOf(i_name) < i_name.size();
}

QString ShortName(QString const& i_name)
{
    int const l_cut = CutOf(i_name);
    if (l_cut == i_name.size())
        return Isolated(i_name);
    // The start of the name, isolated, then our ellipsis.
    return Isolated(i_name.left(l_cut)) + QChar(0x2026);
}

QString TabTitle(QString const& i_name)
{
    return ShortName(i_name).replace(QLatin1Char('&'), QLatin1String("&&"));
}

int AddNamedTab(QTabWidget* ip_tabs, QWidget* ip_page, QIcon const& i_icon, QString const& i_name,
                QString const& i_before)
{
    // The title goes with the tab: set after, the bar would measure every
    // title once more.
    int const l_index = ip_tabs->addTab(ip_page, i_icon, i_before + TabTitle(i_name));
    ip_tabs->setTabToolTip(l_index, LiteralToolTip(Isolated(i_name)));
    return l_index;
}
