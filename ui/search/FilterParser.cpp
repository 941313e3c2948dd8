#include "ui/search/FilterParser.h"

#include <QStringList>

#include <limits>

namespace {

// The number after a token's prefix; text that is not a number reads as 0,
// which is no limit.
qint64 TokenNumber(QString const& i_word, int i_prefixLength)
{
    return i_word.midRef(i_prefixLength).toLongLong();
}

qint32 TokenInt(QString const& i_word, int i_prefixLength)
{
    return i_word.midRef(i_prefixLength).toInt();
}

// Megabytes to bytes, held at the ends of the 64-bit range instead of
// wrapping round (a wrapped limit could turn into no limit, or into one no
// file passes).
qint64 MegabytesToBytes(qint64 i_megabytes)
{
    qint64 const l_factor = 1000000;
    if (i_megabytes > std::numeric_limits<qint64>::max() / l_factor)
        return std::numeric_limits<qint64>::max();
    if (i_megabytes < std::numeric_limits<qint64>::min() / l_factor)
        return std::numeric_limits<qint64>::min();
    return i_megabytes * l_factor;
}

bool StartsWith(QString const& i_word, char const* ip_prefix, int& o_length)
{
    QLatin1String const l_prefix(ip_prefix);
    o_length = l_prefix.size();
    return i_word.startsWith(l_prefix);
}

} // namespace

void FilterParser::Parse(QString const& i_text)
{
    // Only the blank separates words; a tab belongs to its word.
    QStringList const l_words = i_text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString const& l_word : l_words) {
        int l_length = 0;
        if (l_word.startsWith(QLatin1Char('-'))) {
            if (l_word.size() > 1)
                m_excludeWords << QStringMatcher(l_word.mid(1), Qt::CaseInsensitive);
        } else if (l_word == QLatin1String("isvbr")) {
            m_isVbr = m_hasAttributes = true;
        } else if (l_word == QLatin1String("iscbr")) {
            m_isCbr = m_hasAttributes = true;
        } else if (StartsWith(l_word, "minbitrate:", l_length) || StartsWith(l_word, "mbr:", l_length)) {
            m_minBitrate = TokenInt(l_word, l_length);
            m_hasAttributes = true;
        } else if (StartsWith(l_word, "minfilesize:", l_length) || StartsWith(l_word, "mfs:", l_length)) {
            m_minFileSize = MegabytesToBytes(TokenNumber(l_word, l_length));
            m_hasAttributes = true;
        } else if (StartsWith(l_word, "minfilesinfolder:", l_length) || StartsWith(l_word, "mfif:", l_length)) {
            m_minFilesInFolder = TokenInt(l_word, l_length);
        } else {
            m_includeWords << QStringMatcher(l_word, Qt::CaseInsensitive);
        }
    }
}

bool FilterParser::PassesAttributes(Item const& i_item) const
{
    if (m_isVbr || m_isCbr) {
        std::string const l_mode = i_item["bitrate_mode"].AsStdString();
        if (m_isVbr && l_mode != "vbr")
            return false;
        if (m_isCbr && l_mode != "cbr")
            return false;
    }
    if (m_minBitrate > 0 && i_item["bitrate"].AsInt() < m_minBitrate)
        return false;
    if (m_minFileSize > 0 && i_item["file_size"].AsInt64() < m_minFileSize)
        return false;
    return true;
}

int FilterParser::IsMatching(QString const& i_text, FilterParser* op_remainder, Item const& i_item) const
{
    if (op_remainder) {
        op_remainder->m_includeWords.clear();
        op_remainder->m_excludeWords.clear();
    }
    if (!i_item.IsNull() && !PassesAttributes(i_item))
        return REJECTED;
    if (op_remainder) {
        op_remainder->m_minBitrate = m_minBitrate;
        op_remainder->m_isVbr = m_isVbr;
        op_remainder->m_isCbr = m_isCbr;
        op_remainder->m_minFileSize = m_minFileSize;
        op_remainder->m_minFilesInFolder = m_minFilesInFolder;
        op_remainder->m_hasAttributes = m_hasAttributes;
    }
    for (QStringMatcher const& l_word : m_excludeWords)
        if (l_word.indexIn(i_text) >= 0)
            return REJECTED;
    if (op_remainder)
        op_remainder->m_excludeWords = m_excludeWords;
    for (QStringMatcher const& l_word : m_includeWords) {
        if (l_word.indexIn(i_text) >= 0)
            continue;
        if (!op_remainder)
            return INCOMPLETE;
        op_remainder->m_includeWords << l_word;
    }
    return op_remainder && !op_remainder->m_includeWords.isEmpty() ? INCOMPLETE : MATCH;
}
