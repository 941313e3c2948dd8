#ifndef QUILLMAR_TESTS_UI_PAGEMANAGERS_H
#define QUILLMAR_TESTS_UI_PAGEMANAGERS_H

// The managers a page talks to, over a fresh store, made in the main
// window's order and deleted in the reverse one.

#include "app/ActionSetToolBar.h"
#include "app/EventToolBar.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

#include <QtTest>

#include <memory>

class PageManagers
{
protected:
    void StartManagers()
    {
        d.Reset();
        DeclareSettingsTypes();
        mp_bar = std::make_unique<ActionSetToolBar>();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        mp_messenger = std::make_unique<PeerMessenger>();
        mp_invoker = std::make_unique<DelayedInvoker>();
        mp_shares = std::make_unique<SharedFoldersManager>();
        mp_transfers = std::make_unique<TransferQueueManager>();
        mp_events = std::make_unique<EventToolBar>();
    }

    void StopManagers()
    {
        mp_events.reset();
        mp_transfers.reset();
        mp_shares.reset();
        mp_invoker.reset();
        mp_messenger.reset();
        mp_server.reset();
        mp_bar.reset();
        d.Reset();
    }

    std::unique_ptr<ActionSetToolBar> mp_bar;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<DelayedInvoker> mp_invoker;
    std::unique_ptr<SharedFoldersManager> mp_shares;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    std::unique_ptr<EventToolBar> mp_events;
};

#endif
