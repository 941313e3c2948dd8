#ifndef QUILLMAR_APP_MAINWINDOW_H
#define QUILLMAR_APP_MAINWINDOW_H

#include "store/Event.h"

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class Server;
class Ui_MainWindow;

// The program's one window: the tab row with the pages, the option pages
// and the tool bars. Init() builds the managers in their fixed order and
// loads the saved data; the destructor saves and shuts everything down.
class MainWindow : public QMainWindow, public DataHandler
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    void Init();

    // Garbage-collects the store and writes the data file; does nothing once
    // shutdown has begun. True when the data reached the disk.
    bool SaveData();

    Ui_MainWindow* Form() const { return mp_ui; }
    // The stem of the data files in the home folder.
    static QString DataFileStem();
    // The window title for a build date given as YYYYMMDD.
    static QString BuildTitle(qint64 i_version);

public slots:
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);
    void EveryHour();

private:
    void SetOwnIcon(QIcon const& i_icon);
    void AddToolBarSets();

    Ui_MainWindow* mp_ui = nullptr;
    Server* mp_server = nullptr;
    QSystemTrayIcon m_trayIcon;
};

extern MainWindow* mainWindow;

#endif
