#ifndef QUILLMAR_SERVER_WISHLISTSEARCHER_H
#define QUILLMAR_SERVER_WISHLISTSEARCHER_H

// Searches the enabled wish-list texts one after another, one per period
// (the 5-minute timer), while logged in. Its place in the list is the
// unsaved setting "wish_list_search_index".

#include <QObject>

class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    explicit WishListSearcher(QObject* ip_parent = nullptr);
    ~WishListSearcher() override;

public slots:
    // One period: sends the next enabled text, if any.
    void EveryFiveMinutes();
};

extern WishListSearcher* wishListSearcher;

#endif
