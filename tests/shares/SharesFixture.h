#ifndef QUILLMAR_TESTS_SHARES_SHARESFIXTURE_H
#define QUILLMAR_TESTS_SHARES_SHARESFIXTURE_H

// A fresh store with the types the shared-folders manager builds on, declared
// the way the server link and the peer messenger declare them, without
// making those two (the index tests and the benchmark need only the types;
// SharesWiringTest makes the real ones).

#include "store/Data.h"
#include "store/Settings.h"

inline void DeclareSharesNeighbourTypes()
{
    d.Reset();
    DeclareSettingsTypes();
    d.NewType("user", ROOT, false, true);
    d.NewType("user_list_group", ROOT, false, true);
    for (char const* lp_attribute :
         {"mpeg_version", "channel_mode", "audio_frequency", "bitrate", "bitrate_mode", "length_seconds", "file_size"})
        d.NewType(lp_attribute, LEAF, false, true);
}

#endif
