#ifndef QUILLMAR_SHARES_SEARCHTOKENS_H
#define QUILLMAR_SHARES_SEARCHTOKENS_H

// The words under which a shared file is found by other users' searches.

#include <QChar>
#include <QString>

#include <string>
#include <vector>

// True for the characters that end a plain word: ASCII other than letters and
// digits, and everything above the Latin-1 range. Latin-1 letters (and, with
// them, the rest of that block) stay inside words.
bool IsSearchTokenSeparator(QChar i_char);

// Appends to io_tokens, as UTF-8, every token of i_lowerText that io_tokens
// does not hold yet: first the plain words (split at IsSearchTokenSeparator),
// then the words between blanks, slashes and backslashes, which keep their
// punctuation ("ac-dc", "back.mp3"). The text must already be lower case.
void AppendSearchTokens(QString const& i_lowerText, std::vector<std::string>& io_tokens);

#endif
