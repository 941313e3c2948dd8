#ifndef QUILLMAR_TESTS_APP_SEEDEDDATAFILE_H
#define QUILLMAR_TESTS_APP_SEEDEDDATAFILE_H

// The data file of an earlier run of the window, for the window's tests and
// the start-up benchmark.

#include "app/MainWindow.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "tests/shares/SharesFixture.h"
#include "ui/widgets/ColorTable.h"

#include <QApplication>

#include <functional>

// Writes the data file of an earlier run: fill() sets what that run left;
// the settings, share and colour types exist while it runs.
inline void SeedDataFile(std::function<void()> const& i_fill)
{
    DeclareSharesNeighbourTypes();
    {
        DataSaver l_saver;
        l_saver.AddSavedType("global");
        l_saver.AddSavedByConnectionType("global_value", "global");
        Server::RegisterSaving();
        SharedFoldersManager l_manager;
        DeclareColorTable(QApplication::palette());
        i_fill();
        if (!l_saver.Save(MainWindow::DataFileStem()))
            qFatal("cannot write the seeded data file");
    }
    d.Reset();
}

#endif
