// The pools that item bodies and link vectors come from (see
// StoreInternals.h for why they are pooled).
#include "store/StoreInternals.h"

#include <malloc.h>

#if QUILLMAR_BODY_POOL
BlockPool& LinkPool(int i_class)
{
    // Outlive every static Item.
    static BlockPool* sp_pools[POOLED_CLASSES] = {};
    if (!sp_pools[i_class])
        sp_pools[i_class] = new BlockPool((std::size_t(FIRST_CAPACITY) << i_class) * sizeof(void*));
    return *sp_pools[i_class];
}
#endif

namespace {

std::size_t s_bodiesFreedSinceTrim = 0;

#if QUILLMAR_BODY_POOL
BlockPool& BodyPool()
{
    static BlockPool* sp_pool = new BlockPool(64, true); // outlives every static Item
    return *sp_pool;
}
#endif

} // namespace

void* ItemBody::operator new(std::size_t i_size)
{
#if QUILLMAR_BODY_POOL
    if (i_size == sizeof(ItemBody))
        return BodyPool().Allocate();
#endif
    return ::operator new(i_size);
}

void ItemBody::operator delete(void* ip_body) noexcept
{
    ++s_bodiesFreedSinceTrim;
#if QUILLMAR_BODY_POOL
    BodyPool().Free(ip_body);
#else
    ::operator delete(ip_body);
#endif
}

void ReturnFreedMemory()
{
    // Fewer bodies leave too few holes to be worth a walk of the heap, which
    // takes a millisecond or two once a large share has come and gone.
    if (s_bodiesFreedSinceTrim < 10000)
        return;
    s_bodiesFreedSinceTrim = 0;
#if QUILLMAR_BODY_POOL
    BodyPool().Trim();
    for (int l_class = 0; l_class < POOLED_CLASSES; ++l_class)
        LinkPool(l_class).Trim();
#endif
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
