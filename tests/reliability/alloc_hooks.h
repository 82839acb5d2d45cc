// Counting and failing operator new in this test binary. Every form of the
// global operator new and delete is replaced with default visibility, so
// the effect module loaded into the process and the standard library
// allocate through them too. Allocations made while the stand-in host's own
// code runs (tessivo_host::InHostCode) are neither counted nor failed.
#ifndef TESSIVO_TESTS_RELIABILITY_ALLOC_HOOKS_H
#define TESSIVO_TESTS_RELIABILITY_ALLOC_HOOKS_H

namespace alloc_hooks {

struct Counts {
  long long attempts = 0;  // operator new calls outside host code
  long long failures = 0;  // of them, failed on purpose
  long long live = 0;      // blocks allocated outside host code and not freed
};

Counts Get();

// Fails the nth attempt from now (n >= 1): the throwing forms throw
// std::bad_alloc, the nothrow forms return null. With `persistent` every
// later attempt fails as well. n = 0 turns failing off.
void FailAttempt(long long n, bool persistent);

}  // namespace alloc_hooks

#endif  // TESSIVO_TESTS_RELIABILITY_ALLOC_HOOKS_H
