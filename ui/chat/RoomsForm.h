#ifndef QUILLMAR_UI_CHAT_ROOMSFORM_H
#define QUILLMAR_UI_CHAT_ROOMSFORM_H

#include <QWidget>

// The Rooms page. Not built yet: it shows a note saying so, and its
// Init() does nothing, until the page itself lands.
class RoomsForm : public QWidget
{
    Q_OBJECT

public:
    explicit RoomsForm(QWidget* ip_parent = nullptr);

    void Init();
};

#endif
