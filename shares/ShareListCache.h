#ifndef QUILLMAR_SHARES_SHARELISTCACHE_H
#define QUILLMAR_SHARES_SHARELISTCACHE_H

// The compressed share lists of the last few sets of visible roots, and the
// requests that wait for a list being made (read, then compressed). Users who see the same
// roots get the same list, so a list is kept per set of roots, and only for
// the index generation it was read at: any change of the index makes it
// stale.

#include <QByteArray>
#include <QString>

#include <functional>
#include <list>
#include <map>
#include <vector>

class ShareListCache
{
public:
    typedef std::vector<quint64> Key; // the serials of the visible roots
    // Hands the message to the peer messenger (an empty one: none to send).
    // The bytes are shared with the list kept, not copied.
    typedef std::function<void(QByteArray i_message)> Reply;
    struct Waiter
    {
        QString m_user;
        Reply m_reply;
    };

    // A few sets of roots (public, user list, a group or two), and at most
    // a few 10 MB lists of a million files each.
    static constexpr std::size_t MAX_LISTS = 4;
    static constexpr quint64 MAX_BYTES = 64ull * 1024 * 1024;

    // The list kept for the roots at that generation, or an empty one.
    // Lists of other generations are dropped on the way.
    QByteArray Find(Key const& i_key, quint64 i_generation);
    void Keep(Key const& i_key, quint64 i_generation, QByteArray const& i_message);

    bool IsBeingMade(Key const& i_key) const { return m_making.count(i_key) > 0; }
    void StartMaking(Key const& i_key, Waiter i_first);
    // False when the user already waits for that list: a peer repeating
    // his request meanwhile gets one answer, not one per request.
    bool Wait(Key const& i_key, Waiter i_waiter);
    std::vector<Waiter> EndMaking(Key const& i_key);

    void Clear();

private:
    void DropStale(quint64 i_generation);

    struct Entry
    {
        Key m_key;
        quint64 m_generation;
        QByteArray m_message;
    };
    std::list<Entry> m_lists; // the most recently used first
    std::map<Key, std::vector<Waiter>> m_making;
};

#endif
