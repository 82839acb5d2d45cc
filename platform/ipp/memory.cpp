// Planes and work buffers, with the ledger and fault injection of
// ipp_testing.h. Bookkeeping lives in a header in front of each allocation
// and in plain globals: nothing here uses operator new, so tests that
// replace it count only the caller's own allocations.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "ipp.h"
#include "ipp_testing.h"

namespace {

constexpr std::int64_t kAlign = 64;  // bytes; row and buffer alignment
// Larger than any user address space of a 64-bit system: such a request
// is refused before it reaches malloc, and header + size cannot wrap.
constexpr std::int64_t kMaxBytes = std::int64_t{1} << 47;
constexpr std::uint64_t kMagic = 0x31564F4953534554ull;  // "TESSIVO1"

enum Kind : std::uint32_t { kPlane = 1, kBuffer = 2 };

// Sits at the end of the kAlign bytes before the caller's pointer. The
// magic is tied to the address, so a stray pointer (one into a live plane,
// say) is recognised as not ours. It is cleared on free, which catches a
// second free as long as the released memory has not been reused.
struct Header {
  std::int64_t bytes;
  std::uint32_t kind;
  std::uint32_t unused;
  std::uint64_t magic;
};
static_assert(sizeof(Header) <= kAlign, "header must fit the alignment prefix");

std::mutex gMutex;
IppAllocLedger gLedger{};
long long gFailCountdown = 0;  // attempts until the injected failure; 0 = off
bool gFailPersistent = false;
bool gFailingForever = false;

Header* HeaderOf(void* user) {
  return reinterpret_cast<Header*>(static_cast<char*>(user) - sizeof(Header));
}

std::uint64_t MagicFor(const void* user) {
  return kMagic ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(user));
}

// Under gMutex: counts the attempt and says whether it is to fail.
bool CountAttempt() {
  ++gLedger.attempts;
  bool fail = gFailingForever;
  if (!fail && gFailCountdown > 0 && --gFailCountdown == 0) {
    fail = true;
    gFailingForever = gFailPersistent;
  }
  if (fail) ++gLedger.injectedFailures;
  return fail;
}

void Raise(long long& live, long long& peak, long long by) {
  live += by;
  if (live > peak) peak = live;
}

void* Allocate(std::int64_t bytes, Kind kind) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (CountAttempt()) return nullptr;
  }
  if (bytes > kMaxBytes) return nullptr;
  void* raw = nullptr;
  if (posix_memalign(&raw, kAlign, static_cast<size_t>(kAlign + bytes)) != 0) return nullptr;
  void* user = static_cast<char*>(raw) + kAlign;
  *HeaderOf(user) = Header{bytes, kind, 0, MagicFor(user)};

  std::lock_guard<std::mutex> lock(gMutex);
  if (kind == kPlane) {
    ++gLedger.planeAllocs;
    Raise(gLedger.livePlanes, gLedger.peakPlanes, 1);
  } else {
    ++gLedger.bufferAllocs;
    Raise(gLedger.liveBuffers, gLedger.peakBuffers, 1);
  }
  Raise(gLedger.liveBytes, gLedger.peakBytes, bytes);
  return user;
}

void Release(void* user, Kind kind) {
  if (user == nullptr) return;
  const auto address = reinterpret_cast<std::uintptr_t>(user);
  Header* header = nullptr;
  if (address % kAlign == 0 && address > static_cast<std::uintptr_t>(kAlign)) {
    Header* candidate = HeaderOf(user);
    if (candidate->magic == MagicFor(user) && candidate->kind == kind) header = candidate;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  if (header == nullptr) {
    ++gLedger.badFrees;  // not ours, already freed, or freed with the wrong function
    return;
  }
  if (kind == kPlane) {
    ++gLedger.planeFrees;
    --gLedger.livePlanes;
  } else {
    ++gLedger.bufferFrees;
    --gLedger.liveBuffers;
  }
  gLedger.liveBytes -= header->bytes;
  header->magic = 0;
  std::free(static_cast<char*>(user) - kAlign);
}

}  // namespace

extern "C" {

Ipp32f* ippiMalloc_32f_C1(int width, int height, int* pStepBytes) {
  if (pStepBytes != nullptr) *pStepBytes = 0;
  if (width < 1 || height < 1) return nullptr;
  const std::int64_t step = (std::int64_t{width} * 4 + kAlign - 1) / kAlign * kAlign;
  if (step > INT_MAX) return nullptr;
  auto* plane = static_cast<Ipp32f*>(Allocate(step * height, kPlane));
  if (plane != nullptr && pStepBytes != nullptr) *pStepBytes = static_cast<int>(step);
  return plane;
}

void ippiFree(void* ptr) { Release(ptr, kPlane); }

void* ippMalloc(int length) {
  if (length < 1) return nullptr;
  return Allocate(length, kBuffer);
}

void ippFree(void* ptr) { Release(ptr, kBuffer); }

void ippTestGetLedger(IppAllocLedger* ledger) {
  if (ledger == nullptr) return;
  std::lock_guard<std::mutex> lock(gMutex);
  *ledger = gLedger;
}

void ippTestResetLedger(void) {
  std::lock_guard<std::mutex> lock(gMutex);
  IppAllocLedger fresh{};
  fresh.livePlanes = fresh.peakPlanes = gLedger.livePlanes;
  fresh.liveBuffers = fresh.peakBuffers = gLedger.liveBuffers;
  fresh.liveBytes = fresh.peakBytes = gLedger.liveBytes;
  gLedger = fresh;
}

void ippTestFailAllocation(long long n, int persistent) {
  std::lock_guard<std::mutex> lock(gMutex);
  gFailCountdown = n > 0 ? n : 0;
  gFailPersistent = n > 0 && persistent != 0;
  gFailingForever = false;
}

}  // extern "C"
