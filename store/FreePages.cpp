#include "store/FreePages.h"

#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
std::atomic<int> s_asked{0};
std::atomic<std::size_t> s_walksAsked{0};
int s_holds = 0;
bool s_owed = false;

void StartWalk()
{
    CountHeapWalk();
    // The thread that takes the first ask runs until no ask is left.
    if (s_asked.fetch_add(1) > 0)
        return;
    try {
        std::thread([]() {
            int l_asked = s_asked.load();
            do {
#ifdef __GLIBC__
                malloc_trim(0);
#endif
            } while (!s_asked.compare_exchange_strong(l_asked, 0));
        }).detach();
    } catch (std::system_error const&) {
        s_asked = 0;
    }
}
} // namespace

void GiveBackFreePages()
{
    if (s_holds > 0) {
        s_owed = true;
        return;
    }
    StartWalk();
}

bool GivingBackFreePages()
{
    return s_asked.load() > 0;
}

void HoldHeapWalks()
{
    ++s_holds;
}

void ReleaseHeapWalks()
{
    if (s_holds == 0 || --s_holds > 0 || !s_owed)
        return;
    s_owed = false;
    StartWalk();
}

bool HeapWalksHeld()
{
    return s_holds > 0;
}

void GiveBackFreedSoFar()
{
    StartWalk();
}

std::size_t HeapWalksAsked()
{
    return s_walksAsked.load();
}

void CountHeapWalk()
{
    ++s_walksAsked;
}

void MergeFreedBlocks()
{
    // A block this large, freed, makes glibc merge the small ones freed
    // before it (its FASTBIN_CONSOLIDATION_THRESHOLD); below the size it
    // serves from a mapping of its own. Through a volatile pointer, so that
    // the compiler does not drop the pair.
    void* volatile lp_block = std::malloc(64 * 1024);
    std::free(lp_block);
}
