#ifndef QUILLMAR_STORE_FREEPAGES_H
#define QUILLMAR_STORE_FREEPAGES_H

// Gives the C library's free pages back to the system, on a thread of its
// own, whatever they come to. The store's collection leaves them while the
// heaps hold much free memory, which the next work uses again; but what a
// closed browse tab of 2,000,000 folders or a refused share list freed
// (0.7 GB, 0.25 GB) stayed with the process for good. The walk locks each
// heap while it goes through it (some 85 ms for 0.7 GB), so the window's
// thread may wait on an allocation meanwhile; it is asked for only at the
// end of such work. Calls while a walk runs make one more walk after it.
void GiveBackFreePages();
// Whether a walk asked for above has yet to end.
bool GivingBackFreePages();

// The C library keeps small freed blocks apart until a large block is
// freed, then merges all of them at once: the 2,000,000 rows and folders of
// a closed tab, freed in slices, made a later free of the window take 0.3 s.
// Called after each slice of such frees, this has it merge only what the
// slice freed.
void MergeFreedBlocks();

#endif
