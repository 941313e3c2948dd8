#ifndef QUILLMAR_STORE_UTILITIES_H
#define QUILLMAR_STORE_UTILITIES_H

// Text and path helpers shared by every subsystem. Paths here may use "/" or
// a backslash as separator (remote paths always use backslashes).

#include <QString>

#include <string>

class QRegularExpression;

// The last component: one trailing separator is dropped first; a path
// without separator is returned whole.
std::string GetFileName(std::string i_path);
// Everything before the last separator (one trailing separator dropped
// first); a path without separator is returned whole.
std::string GetFolder(std::string i_path);
// All trailing backslashes dropped (nothing left gives ""), then GetFolder.
std::string GetParentFolder(std::string i_path);
// The text after the last ".", lower-cased; "" without a ".".
std::string GetFileExtension(std::string i_name);

// "<d>d" when there are days, "<h>h" when there are days or hours, then
// "<m>m<s>s": 245 gives "4m5s". Negative durations read as 0.
QString FormatSeconds(long i_seconds);
// Every occurrence of i_from replaced, scanning on after each replacement
// (so the replacement text is never searched again). An empty i_from
// changes nothing.
std::string StringReplace(std::string i_text, std::string const& i_from, std::string const& i_to);
// UTF-8, or the chosen 8-bit code page when the bytes are not valid UTF-8.
QString ToQString(std::string const& i_bytes);
// "1,234,567"; "" for values below 1.
QString CommafyNumber(long long i_number);
// Trailing separators dropped, then the components in reverse order joined
// by "/": "a\b/c" gives "c/b/a".
QString ReversePathname(QString const& i_path);
// "&", "<", ">" as entities, then every two blanks as " &nbsp;".
QString EscapeHTML(QString i_text);
// Every http or https address turned into an anchor whose target and text
// are the address.
QString ConvertLinks(QString const& i_text);
// What ConvertLinks takes for a web address.
QRegularExpression const& WebAddressPattern();

// Text from outside (a name, a path, a peer's or the server's reason)
// shown inside or beside our own text, in a window or a log line, is
// Isolated where the sentence is composed: the text in a first-strong
// isolate, so that nothing in it (an override left open, a right-to-left
// name) turns the text around it. Isolates the text opens are closed before
// the end, pops it has not opened are dropped (they would close the outer
// isolate early), and each of its paragraphs is isolated on its own. A text
// of left-to-right and neutral characters only cannot turn anything and is
// returned as it is. Only what is shown is isolated: what is stored or sent
// keeps the text as it came.
QString Isolated(QString const& i_text);

// A window title, or the part of one, that reads as the text given,
// isolated (a window title reads "[*]" as the place of its modified mark).
QString LiteralWindowTitle(QString const& i_text);

#endif
