#include "ui/widgets/OutsideText.h"

#include <QLabel>
#include <QTabWidget>
#include <QTextBoundaryFinder>
#include <QTextDocument>

QString LiteralTitle(QString const& i_text)
{
    return Isolated(i_text).replace(QLatin1Char('&'), QLatin1String("&&"));
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
