#ifndef QUILLMAR_SERVER_SEARCHPARSER_H
#define QUILLMAR_SERVER_SEARCHPARSER_H

// Splits a search text into the tokens a search is matched by: included
// tokens (plain words), part tokens (written with a leading "*", matched as
// parts of a file name) and excluded tokens (leading "-"). Text in double
// quotes stays one token, blanks included; a marker may stand before the
// opening quote. Everything is lower-cased and the markers are removed.

#include <QString>

#include <set>

class SearchParser
{
public:
    typedef std::set<QString> TokenSet;

    // True when the text holds at least one included or part token.
    bool SetSearchText(QString const& i_text);

    TokenSet const& GetIncludedTokenSet() const { return m_included; }
    TokenSet const& GetIncludedPartTokenSet() const { return m_parts; }
    TokenSet const& GetExcludedTokenSet() const { return m_excluded; }

private:
    void AddToken(QString const& i_token);

    TokenSet m_included;
    TokenSet m_parts;
    TokenSet m_excluded;
};

#endif
