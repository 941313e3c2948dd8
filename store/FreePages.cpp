#include "store/FreePages.h"

#include <atomic>
#include <system_error>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
std::atomic<int> s_asked{0};
std::atomic<int> s_walks{0};
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
                ++s_walks;
#ifdef __GLIBC__
                malloc_trim(0);
#endif
            } while (!s_asked.compare_exchange_strong(l_asked, 0));
        }).detach();
    } catch (std::system_error const&) {
        s_asked = 0;
    }
}

int FreePagesWalks()
{
    return s_walks.load();
}
