#ifndef QUILLMAR_TESTS_WAITMS_H
#define QUILLMAR_TESTS_WAITMS_H

// How long a test, or a benchmark's quick run in the suite, waits for a
// condition before it fails (tests/Waits.h says why it is long). Apart from
// Waits.h, for the benchmarks, which are built without Qt's test library.
constexpr int WAIT_MS = 30000;

#endif
