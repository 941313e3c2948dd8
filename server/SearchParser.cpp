#include "server/SearchParser.h"

bool SearchParser::SetSearchText(QString const& i_text)
{
    m_included.clear();
    m_parts.clear();
    m_excluded.clear();
    QString const l_text = i_text.toLower();
    int const l_length = l_text.size();
    int l_position = 0;
    while (l_position < l_length) {
        while (l_position < l_length && l_text.at(l_position).isSpace())
            ++l_position;
        if (l_position >= l_length)
            break;
        // A marker, then either a quoted phrase or a word up to the next blank.
        QString l_token;
        QChar const l_first = l_text.at(l_position);
        if (l_first == QLatin1Char('-') || l_first == QLatin1Char('*')) {
            l_token.append(l_first);
            ++l_position;
        }
        if (l_position < l_length && l_text.at(l_position) == QLatin1Char('"')) {
            int const l_close = l_text.indexOf(QLatin1Char('"'), l_position + 1);
            int const l_end = l_close < 0 ? l_length : l_close;
            l_token.append(l_text.mid(l_position + 1, l_end - l_position - 1).trimmed());
            l_position = l_close < 0 ? l_length : l_close + 1;
        } else {
            int l_end = l_position;
            while (l_end < l_length && !l_text.at(l_end).isSpace())
                ++l_end;
            l_token.append(l_text.mid(l_position, l_end - l_position));
            l_position = l_end;
        }
        AddToken(l_token);
    }
    return !m_included.empty() || !m_parts.empty();
}

void SearchParser::AddToken(QString const& i_token)
{
    if (i_token.isEmpty())
        return;
    QChar const l_marker = i_token.at(0);
    if (l_marker == QLatin1Char('-') || l_marker == QLatin1Char('*')) {
        QString const l_rest = i_token.mid(1);
        // A marker on its own says nothing.
        if (l_rest.isEmpty())
            return;
        (l_marker == QLatin1Char('-') ? m_excluded : m_parts).insert(l_rest);
        return;
    }
    m_included.insert(i_token);
}
