#ifndef QUILLMAR_TESTS_UI_PAGEMANAGERS_H
#define QUILLMAR_TESTS_UI_PAGEMANAGERS_H

// The managers a page talks to, as the main window makes them.

#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "peers/PeerMessenger.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "tests/ManagerSet.h"
#include "tests/ui/MenuTexts.h"
#include "transfers/TransferQueueManager.h"

#include <QtTest>

using PageManagers = ManagerSet<ActionSetToolBar, Server, PeerMessenger, DelayedInvoker, SharedFoldersManager,
                                TransferQueueManager, EventToolBar>;

#endif
