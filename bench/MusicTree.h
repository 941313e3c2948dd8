#ifndef QUILLMAR_BENCH_MUSICTREE_H
#define QUILLMAR_BENCH_MUSICTREE_H

// The folder tree the share benchmarks index: artist folders of 25 albums,
// each of 16 tracks and 4 names every album repeats (a fifth of the files),
// named from a vocabulary of a few common words and a long tail, as in real
// collections. The files are sparse, so that making the tree is quick; MP3
// files stay small because the scanner thread reads each of them once.

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

int const ALBUMS_PER_ARTIST = 25;
int const TRACKS_PER_ALBUM = 16;
int const FILES_PER_ALBUM = TRACKS_PER_ALBUM + 4;
int const FILES_PER_ARTIST = ALBUMS_PER_ARTIST * FILES_PER_ALBUM;

// The real words first, then syllable words. Ranks are drawn with a
// square-law skew, so the commonest word is in several percent of paths.
inline QStringList const& Vocabulary()
{
    static QStringList s_words;
    if (s_words.isEmpty()) {
        for (char const* lp_word :
             {"silver", "morning", "light",   "river",  "night",  "golden",  "shadow", "dream",   "fire",     "rain",
              "heart",  "city",    "ocean",   "wild",   "blue",   "summer",  "winter", "stone",   "road",     "echo",
              "song",   "dance",   "moon",    "star",   "garden", "electric", "broken", "velvet", "northern", "paper",
              "glass",  "thunder", "quiet",   "lonely", "highway", "angel",  "crystal", "empire", "forest",   "harbour",
              "desert", "machine", "mirror",  "violet", "storm",  "window",  "horizon", "love",   "time",     "home"})
            s_words << QString::fromLatin1(lp_word);
        char const* const l_syllables[] = {"ka", "lo", "mi", "ren", "sa", "tor", "vel", "an", "dri", "el",
                                           "fa", "gor", "hal", "is", "ju", "ko", "lun", "mar", "nes", "or"};
        for (int l_a = 0; l_a < 20; ++l_a)
            for (int l_b = 0; l_b < 20; ++l_b)
                for (int l_c = 0; l_c < 10; ++l_c)
                    s_words << QString::fromLatin1(l_syllables[l_a]) + l_syllables[l_b] + l_syllables[l_c * 2 % 20];
    }
    return s_words;
}

inline QString Words(QRandomGenerator& io_random, int i_count)
{
    QStringList const& l_vocabulary = Vocabulary();
    QStringList l_words;
    for (int l_index = 0; l_index < i_count; ++l_index) {
        double const l_draw = io_random.generateDouble();
        QString l_word = l_vocabulary[int(l_draw * l_draw * l_vocabulary.size())];
        l_word[0] = l_word[0].toUpper();
        l_words << l_word;
    }
    return l_words.join(' ');
}

// i_artists artists under i_root; i_markedAlbums of the albums, spread
// evenly, have the word "Marker" in their folder's name, so that a search
// for it matches 20 files of each. The files made, or -1 when one could not
// be made (a full disk).
inline int MakeMusicTree(QString const& i_root, int i_artists, int i_markedAlbums = 0)
{
    QRandomGenerator l_random(42);
    int l_files = 0;
    int const l_albums = i_artists * ALBUMS_PER_ARTIST;
    for (int l_artist = 0; l_artist < i_artists; ++l_artist) {
        QString const l_artistName = QString("%1 %2").arg(Words(l_random, 2)).arg(l_artist);
        for (int l_album = 0; l_album < ALBUMS_PER_ARTIST; ++l_album) {
            qint64 const l_index = qint64(l_artist) * ALBUMS_PER_ARTIST + l_album;
            bool const l_marked = l_index * i_markedAlbums / l_albums != (l_index + 1) * i_markedAlbums / l_albums;
            QString const l_folder = QString("%1/%2/%3 (%4)%5")
                                         .arg(i_root, l_artistName, Words(l_random, 3))
                                         .arg(1960 + l_random.bounded(60))
                                         .arg(l_marked ? " Marker" : "");
            QDir().mkpath(l_folder);
            QStringList l_names;
            for (int l_track = 1; l_track <= TRACKS_PER_ALBUM; ++l_track)
                l_names << QString("%1 - %2.mp3").arg(l_track, 2, 10, QChar('0')).arg(Words(l_random, 3));
            for (char const* lp_name : {"cover.jpg", "folder.jpg", "desktop.ini", "album.nfo"})
                l_names << QString::fromLatin1(lp_name);
            for (QString const& l_name : l_names) {
                int const l_fd = ::open(QFile::encodeName(l_folder + '/' + l_name).constData(),
                                        O_CREAT | O_WRONLY | O_TRUNC, 0644);
                if (l_fd < 0)
                    return -1;
                qint64 const l_size = l_name.endsWith(".mp3") ? 1 + l_random.bounded(60000)
                                                               : 1 + l_random.bounded(10 * 1024 * 1024);
                bool const l_sized = ftruncate(l_fd, l_size) == 0;
                ::close(l_fd);
                if (!l_sized)
                    return -1;
                ++l_files;
            }
        }
    }
    return l_files;
}

} // namespace bench

#endif
