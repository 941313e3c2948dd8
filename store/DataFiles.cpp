// The stem's files: the data files and the temporary files saves write
// them as, listed in one look at their folder; the name of the next file,
// which sorts after every file named before; and the pruning that keeps
// the newest few once a new file is safely in place.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

bool IsStamp(QStringView i_text)
{
    if (i_text.isEmpty() || i_text.size() > 19)
        return false;
    for (QChar const l_c : i_text)
        if (l_c < '0' || l_c > '9')
            return false;
    return true;
}

// The stem's files in its folder, in one listing: the data files
// ("<stem>.<stamp>", newest first) and the temporary files that saves
// write them as ("<stem>.<stamp>.saving", names only).
struct StemFiles
{
    QDir m_folder;
    std::vector<std::pair<quint64, QString>> m_saved;
    QStringList m_temporary;
};

StemFiles ListStemFiles(QString const& i_stem)
{
    QFileInfo const l_stem(i_stem);
    StemFiles l_files{l_stem.absoluteDir(), {}, {}};
    QString const l_prefix = l_stem.fileName() + ".";
    QLatin1String const l_saving(".saving");
    // Matched by hand: a name filter is a pattern that Qt compiles, which
    // held the hourly save for 25 ms at times.
    for (QString const& l_name : l_files.m_folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted)) {
        if (!l_name.startsWith(l_prefix))
            continue;
        QStringView const l_suffix = QStringView(l_name).mid(l_prefix.size());
        if (IsStamp(l_suffix))
            l_files.m_saved.emplace_back(l_suffix.toULongLong(), l_files.m_folder.filePath(l_name));
        else if (l_suffix.endsWith(l_saving) && IsStamp(l_suffix.chopped(l_saving.size())))
            l_files.m_temporary << l_name;
    }
    std::sort(l_files.m_saved.begin(), l_files.m_saved.end(),
              [](auto const& i_a, auto const& i_b) { return i_a.first > i_b.first; });
    return l_files;
}

} // namespace

std::vector<std::pair<quint64, QString>> DataSaver::ListDataFiles(QString const& i_stem)
{
    return ListStemFiles(i_stem).m_saved;
}

QString DataSaver::NextPath(QString const& i_base)
{
    auto const l_existing = ListDataFiles(i_base);
    // Names must sort in save order even when the clock went back, or the
    // new file would be pruned, or an older one loaded first; and above any
    // name given before, so that the file of a background save given up or
    // answered for by a save made at once, should it still land, is older
    // than any named since.
    quint64 l_stamp = quint64(qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch()));
    if (!l_existing.empty() && l_stamp <= l_existing.front().first)
        l_stamp = l_existing.front().first + 1;
    if (l_stamp <= m_lastStamp)
        l_stamp = m_lastStamp + 1;
    m_lastStamp = l_stamp;
    return i_base + "." + QString::number(l_stamp);
}

void DataSaver::Prune(QString const& i_base, QString const& i_kept)
{
    // Only once the new file is safely in place do older ones go.
    StemFiles const l_files = ListStemFiles(i_base);
    for (std::size_t l_index = KEPT_FILES; l_index < l_files.m_saved.size(); ++l_index)
        if (l_files.m_saved[l_index].second != i_kept)
            QFile::remove(l_files.m_saved[l_index].second);
    // A temporary file left by a program killed outright, or by a save that
    // failed to remove it; not the one of a background save still at work.
    QString const l_busy = mp_background ? QFileInfo(mp_background->m_path).fileName() + ".saving" : QString();
    for (QString const& l_name : l_files.m_temporary)
        if (l_name != l_busy)
            QFile::remove(l_files.m_folder.filePath(l_name));
}
