#include "ui/widgets/OutsideText.h"

#include <QLabel>
#include <QTextDocument>

QString LiteralTitle(QString const& i_text)
{
    return QString(i_text).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString LiteralWindowTitle(QString const& i_text)
{
    // Two marks in a row show as one.
    return QString(i_text).replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
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
