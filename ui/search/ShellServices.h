#ifndef QUILLMAR_UI_SEARCH_SHELLSERVICES_H
#define QUILLMAR_UI_SEARCH_SHELLSERVICES_H

// The shell's event bar and size memory, as the search pages use them.

#include <QList>
#include <QString>

class QSplitter;
class QTreeWidget;
class QWidget;

void PostWishListEvent(QString const& i_text, QWidget* ip_owner);
void RemovePageEvents(QWidget* ip_owner);
void RememberSplitter(QString const& i_name, QSplitter* ip_splitter, QList<int> const& i_defaultSizes);
void RememberTreeColumns(QString const& i_name, QTreeWidget* ip_tree);

#endif
