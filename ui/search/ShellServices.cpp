#include "ui/search/ShellServices.h"

#include <QSplitter>

#if __has_include("app/EventToolBar.h")
#include "app/EventToolBar.h"
#define QUILLMAR_SEARCH_HAS_EVENT_BAR 1
#endif
#if __has_include("app/SizeManager.h")
#include "app/SizeManager.h"
#define QUILLMAR_SEARCH_HAS_SIZE_MANAGER 1
#endif

void PostWishListEvent(QString const& i_text, QWidget* ip_owner)
{
#ifdef QUILLMAR_SEARCH_HAS_EVENT_BAR
    if (eventToolBar)
        eventToolBar->AddEvent(i_text, QStringLiteral(":/icons/wishlist_icon"), ip_owner, QString(),
                               QStringLiteral("wishlist"), false);
#else
    Q_UNUSED(i_text);
    Q_UNUSED(ip_owner);
#endif
}

void RemovePageEvents(QWidget* ip_owner)
{
#ifdef QUILLMAR_SEARCH_HAS_EVENT_BAR
    if (eventToolBar)
        eventToolBar->RemoveEvents(ip_owner);
#else
    Q_UNUSED(ip_owner);
#endif
}

void RememberSplitter(QString const& i_name, QSplitter* ip_splitter, QList<int> const& i_defaultSizes)
{
#ifdef QUILLMAR_SEARCH_HAS_SIZE_MANAGER
    if (sizeManager) {
        sizeManager->RegisterSplitter(i_name, ip_splitter, i_defaultSizes);
        return;
    }
#else
    Q_UNUSED(i_name);
#endif
    ip_splitter->setSizes(i_defaultSizes);
}

void RememberTreeColumns(QString const& i_name, QTreeWidget* ip_tree)
{
#ifdef QUILLMAR_SEARCH_HAS_SIZE_MANAGER
    if (sizeManager)
        sizeManager->RegisterTreeWidget(i_name, ip_tree);
#else
    Q_UNUSED(i_name);
    Q_UNUSED(ip_tree);
#endif
}
