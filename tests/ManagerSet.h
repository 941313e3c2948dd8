#ifndef QUILLMAR_TESTS_MANAGERSET_H
#define QUILLMAR_TESTS_MANAGERSET_H

// The managers a test names, over a fresh store, made in the main window's
// order (each declares its store types as it is made, and saved data must
// find them) and deleted in the reverse one: the data saver and the server
// link first, the settings declared between them, then the rest as named.
// Each is reached by its usual member name.

#include "server/Server.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <memory>
#include <type_traits>

template <class Manager> struct ManagerSlot;

#define QUILLMAR_MANAGER_SLOT(Manager, member) \
    class Manager; \
    template <> struct ManagerSlot<Manager> \
    { \
        std::unique_ptr<Manager> member; \
        std::unique_ptr<Manager>& Held() { return member; } \
    };
QUILLMAR_MANAGER_SLOT(DataSaver, mp_saver)
QUILLMAR_MANAGER_SLOT(ActionSetToolBar, mp_bar)
QUILLMAR_MANAGER_SLOT(Server, mp_server)
QUILLMAR_MANAGER_SLOT(PeerMessenger, mp_messenger)
QUILLMAR_MANAGER_SLOT(DelayedInvoker, mp_invoker)
QUILLMAR_MANAGER_SLOT(DNetManager, mp_dnet)
QUILLMAR_MANAGER_SLOT(SharedFoldersManager, mp_shares)
QUILLMAR_MANAGER_SLOT(TransferQueueManager, mp_transfers)
QUILLMAR_MANAGER_SLOT(EventToolBar, mp_events)
#undef QUILLMAR_MANAGER_SLOT

template <class... Managers>
class ManagerSet : public ManagerSlot<Managers>...
{
protected:
    template <class Manager> static constexpr bool NAMED = (std::is_same_v<Manager, Managers> || ...);

    void StartManagers()
    {
        d.Reset();
        Make<DataSaver>();
        Make<Server>();
        DeclareSettingsTypes();
        if constexpr (NAMED<DataSaver>) {
            this->mp_saver->AddSavedType("global");
            this->mp_saver->AddSavedByConnectionType("global_value", "global");
        }
        if constexpr (NAMED<Server>)
            this->mp_server->CreateData();
        (Make<Managers>(), ...);
    }

    void StopManagers()
    {
        StopFrom<Managers...>();
        d.Reset();
    }

private:
    template <class Manager> void Make()
    {
        if constexpr (NAMED<Manager>)
            if (!ManagerSlot<Manager>::Held())
                ManagerSlot<Manager>::Held() = std::make_unique<Manager>();
    }

    template <class First, class... Rest> void StopFrom()
    {
        if constexpr (sizeof...(Rest) > 0)
            StopFrom<Rest...>();
        ManagerSlot<First>::Held().reset();
    }
};

#endif
