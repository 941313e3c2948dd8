#ifndef QUILLMAR_STORE_FREEPAGES_H
#define QUILLMAR_STORE_FREEPAGES_H

#include <cstddef>

// Gives the C library's free pages back to the system, on a thread of its
// own, whatever they come to. The store's collection leaves them while the
// heaps hold much free memory, which the next work uses again; but what a
// closed browse tab of 2,000,000 folders or a refused share list freed
// (0.7 GB, 0.25 GB) stayed with the process for good. The walk locks each
// heap while it goes through it (some 85 ms for 0.7 GB), so the window's
// thread may wait on an allocation meanwhile; it is asked for only at the
// end of such work. Calls while a walk runs make one more walk after it;
// calls while walks are held (below) make one once the last hold ends.
void GiveBackFreePages();
// Whether a walk asked for above has yet to end.
bool GivingBackFreePages();

// While a large free in slices runs (a closed search tab's rows), the
// window's heap is a sieve of small holes between what is still to go, and
// a walk of it holds the heap's lock, which the window's allocations wait
// on, as long as it takes: the store's collection, ending meanwhile,
// counted the free memory through a quarter of a million holes, 57-66 ms,
// and a walk that then gave back the 300 MB freed at the end held it
// 33-65 ms. So such work holds the walks others ask for while it runs, and
// gives its pages back itself as it goes (GiveBackFreedSoFar), a few
// megabytes a walk; the walks asked meanwhile are made when the last hold
// ends. Window's thread only.
void HoldHeapWalks();
void ReleaseHeapWalks();
bool HeapWalksHeld();
// A walk on the thread of GiveBackFreePages even while walks are held: for
// the holder, right after MergeFreedBlocks (below), when the holes it
// passes over are few (the small ones sit in bins it skips) and what it
// gives back is what the holder freed since its last one.
void GiveBackFreedSoFar();
// Walks of the heaps asked for and not held since the program began, here
// and by the store's collection: counted where they are asked for.
std::size_t HeapWalksAsked();
void CountHeapWalk();

// The C library keeps small freed blocks apart until a large block is
// freed, then merges all of them at once: the 2,000,000 rows and folders of
// a closed tab, freed in slices, made a later free of the window take 0.3 s.
// Called after each slice of such frees, this has it merge only what the
// slice freed.
void MergeFreedBlocks();

#endif
