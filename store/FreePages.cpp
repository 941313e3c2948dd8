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
} // namespace

void GiveBackFreePages()
{
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

bool GivingBackFreePages()
{
    return s_asked.load() > 0;
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
