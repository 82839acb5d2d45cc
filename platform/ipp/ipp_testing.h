// Test-only hooks of the primitives: the allocator's ledger of what was
// allocated and freed, fault injection, and the choice of code path. Not
// part of the primitives' contract; the system's own code never calls these.
// Only the library's testing variant (the shared tessivo_ipp that the tests
// link) defines them; the primitives linked into the shipped module do not.
#ifndef TESSIVO_PLATFORM_IPP_TESTING_H
#define TESSIVO_PLATFORM_IPP_TESTING_H

#include "ipp.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  long long planeAllocs;    // successful ippiMalloc_32f_C1 calls
  long long planeFrees;     // ippiFree calls on a live plane
  long long livePlanes;     // planes allocated and not yet freed
  long long peakPlanes;     // most planes live at once since the last reset
  long long bufferAllocs;   // successful ippMalloc calls
  long long bufferFrees;    // ippFree calls on a live buffer
  long long liveBuffers;
  long long peakBuffers;
  long long liveBytes;      // bytes of planes and buffers live
  long long peakBytes;
  long long attempts;       // planes and buffers asked for with sizes of at least 1,
                            // since the last reset (injected failures included)
  long long injectedFailures;
  long long badFrees;       // frees of a pointer that is not a live allocation of ours
} IppAllocLedger;

IPP_API void ippTestGetLedger(IppAllocLedger* ledger);
// Zeroes the counters; live counts are kept and the peaks restart from them.
IPP_API void ippTestResetLedger(void);
// Makes the nth allocation attempt from now (planes and buffers counted
// together, n >= 1) return null; with `persistent` it and every later one
// fail. n = 0 turns injection off.
IPP_API void ippTestFailAllocation(long long n, int persistent);

// Code paths of the primitives (bits of the vector library's target
// mask): those compiled into the library that this processor runs, best
// first. Writes at most `capacity` of them to `targets` and returns how
// many there are.
IPP_API int ippTestGetTargets(long long* targets, int capacity);
IPP_API const char* ippTestTargetName(long long target);  // e.g. "AVX2"
// Runs every primitive on `target`, one of those listed, until the next
// call (ippStaticInit keeps it); 0 goes back to the best. Anything else is
// refused (ippStsBadArgErr) and changes nothing.
IPP_API IppStatus ippTestForceTarget(long long target);
// The code path that the primitives' dispatch runs now, as a target bit;
// answered by a function compiled per target like the row kernels.
IPP_API long long ippTestProbeTarget(void);

#ifdef __cplusplus
}
#endif

#endif  // TESSIVO_PLATFORM_IPP_TESTING_H
