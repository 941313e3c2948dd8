#ifndef QUILLMAR_UI_WIDGETS_SIZEMANAGER_H
#define QUILLMAR_UI_WIDGETS_SIZEMANAGER_H

#include "store/Data.h"

#include <QList>
#include <QObject>
#include <QString>

class QSplitter;
class QTreeWidget;

// A window whose position and size the size manager keeps: it reports and
// sets its geometry, and says when the user moved or resized it.
class ResizableWindow : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual int GetX() = 0;
    virtual int GetY() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual void SetPosition(int i_x, int i_y) = 0;
    virtual void SetSize(int i_width, int i_height) = 0;

signals:
    void WindowMoved(int i_x, int i_y);
    void WindowResized(int i_width, int i_height);
};

// Remembers, across restarts, the main window's geometry, the pane sizes of
// named splitters and the column widths of named trees, and applies them
// when a widget registers under its name. Widgets registered under one name
// share one record and follow each other. The records are saved store items
// (numbers as decimal text, each number item shared by every record that
// holds it); the items of live widgets are not saved.
class SizeManager : public QObject
{
    Q_OBJECT

public:
    explicit SizeManager(QObject* ip_parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(QString const& i_name, ResizableWindow* ip_window);
    // i_defaultSizes (or, when empty, the current sizes) are only recorded
    // on a first registration; the splitter is not changed.
    void RegisterSplitter(QString const& i_name, QSplitter* ip_splitter, QList<int> const& i_defaultSizes);
    void RegisterTreeWidget(QString const& i_name, QTreeWidget* ip_tree);
    // Forgets every record (the live widgets stay registered).
    void ClearSizeSettings();
    void ForgetTreeWidget(QString const& i_name);

public slots:
    void OnWindowMoved(int i_x, int i_y);
    void OnWindowResized(int i_width, int i_height);
    void OnSplitterMoved(int i_position, int i_index);
    void OnSplitterDestroyed(QObject* ip_splitter);
    void OnTreeColumnResizedMoved(int i_column, int i_oldSize, int i_newSize);
    void OnTreeDestroyed(QObject* ip_tree);

private:
    // Links the record to the item of the new number and removes the old
    // number item once nothing holds it any more.
    static void ReplaceNumber(Item const& i_record, char const* ip_numberType, int i_number);
    Item SenderWindowRecord() const;

    bool m_updating = false;
};

extern SizeManager* sizeManager;

#endif
