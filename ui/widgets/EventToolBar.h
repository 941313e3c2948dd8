#ifndef QUILLMAR_UI_WIDGETS_EVENTTOOLBAR_H
#define QUILLMAR_UI_WIDGETS_EVENTTOOLBAR_H

#include "ui/widgets/FoldingToolBar.h"
#include "store/DataSaver.h"

#include <QString>
#include <QTimer>

#include <functional>
#include <set>

// The notification bar. A page posts an event when something happened that
// the user has not seen; the bar marks the page's tab, blinks the
// application icon while the main window is inactive, shows a tray balloon,
// plays the sound chosen for the kind of event and offers a button that
// leads back to the page. Buttons are made only while "show_event_buttons"
// is "yes". The chosen sounds ("event_sound" kinds linked to
// "event_sound_file" paths) are saved; the buttons live in memory only.
class EventToolBar : public FoldingToolBar, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit EventToolBar(QWidget* ip_parent = nullptr);
    ~EventToolBar() override;

    void DataLoaded() override {}

    // i_text is shown as it reads (a user, room or search), on the button and
    // in its tool tip. i_soundKind empty: no sound. i_force: a further button
    // for an owner that already has one.
    void AddEvent(QString const& i_text, QString const& i_icon, QWidget* ip_owner, QString const& i_balloon,
                  QString const& i_soundKind, bool i_force);
    void RemoveEvents(QWidget* ip_widget);

    // The sound file of a kind, or of "default" when the kind has none.
    static QString SoundFile(QString const& i_kind);
    // Plays a sound file without blocking; tests put a recorder here.
    static void SetSoundPlayer(std::function<void(QString const&)> i_player);

    // The icons blinking now, in the order they are shown.
    std::set<QString> const& AlertIcons() const { return m_alertIcons; }
    bool IsBlinking() const { return m_blinkTimer.isActive(); }

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_new);

private:
    // Keyed by the object's address: a destroyed widget is no QWidget any
    // more when it says so, but its address is still the key.
    void RemoveEventsOf(QObject* ip_object);
    void RemoveButton(QAction* ip_action);
    void AddPlaceholder();

    bool m_placeholder = false;
    std::set<QString> m_alertIcons;
    std::size_t m_blinkPosition = 0;
    QTimer m_blinkTimer;
};

extern EventToolBar* eventToolBar;

#endif
