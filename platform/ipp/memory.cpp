// Planes and work buffers. The testing variant of the library
// (TESSIVO_IPP_TESTING) adds the ledger and fault injection of
// ipp_testing.h; the shipped one has neither. Bookkeeping lives in a header in front of each allocation
// and in plain globals: nothing here uses operator new, so tests that
// replace it count only the caller's own allocations.
//
// Large blocks (a video frame's planes) are mapped directly and marked for
// huge pages: a fresh 4K plane then costs some 16 page faults instead of
// some 8000. Freed, they wait in a small cache for the next request of the
// same size, so that frame after frame reuses the pages instead of having
// the system clear fresh ones (a render allocates all its planes anew).
#include <sys/mman.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "ipp.h"
#ifdef TESSIVO_IPP_TESTING
#include "ipp_testing.h"
#endif

namespace {

constexpr std::int64_t kAlign = 64;  // bytes; row and buffer alignment
// Larger than any user address space of a 64-bit system: such a request
// is refused before it reaches malloc, and header + size cannot wrap.
constexpr std::int64_t kMaxBytes = std::int64_t{1} << 47;

constexpr std::int64_t kPage = 4096;                       // bytes
constexpr std::int64_t kHugePage = std::int64_t{2} << 20;  // bytes, on x86-64
// Blocks from this size up are mapped directly, huge-page aligned.
constexpr std::int64_t kMapFrom = 2 * kHugePage;
// The cache of freed mappings: enough for every plane of a 4K frame's render.
constexpr int kCacheBlocks = 32;
constexpr std::int64_t kCacheBytes = std::int64_t{1} << 30;

enum Kind : std::uint32_t { kPlane = 1, kBuffer = 2 };

// Sits at the end of the kAlign bytes before the caller's pointer.
struct Header {
  std::int64_t bytes;
  std::int64_t mapped;  // bytes of the block's own mapping; 0: from malloc
  Kind kind;
};
static_assert(sizeof(Header) <= kAlign, "header must fit the alignment prefix");

// The addresses of the live allocations, so that a free of anything else
// (a stray pointer, a second free) is recognised without reading memory
// that may no longer be mapped. Open addressing with linear probing; the
// table comes from malloc.
class LiveSet {
 public:
  // A host may unload the library. Frees after this (from other static
  // destructors) find an empty set and count as bad frees.
  ~LiveSet() {
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = count_ = 0;
  }
  bool Insert(const void* p) {  // false when the table cannot grow
    if (2 * (count_ + 1) > capacity_ && !Grow()) return false;
    size_t i = Home(p);
    while (slots_[i] != nullptr) i = (i + 1) & (capacity_ - 1);
    slots_[i] = p;
    ++count_;
    return true;
  }
  bool Contains(const void* p) const { return Find(p) != capacity_; }
  void Erase(const void* p) {  // p must be in the set
    size_t hole = Find(p);
    slots_[hole] = nullptr;
    --count_;
    // Moves later entries of the probe run back into the hole when their
    // home slot lies at or before it.
    for (size_t j = (hole + 1) & (capacity_ - 1); slots_[j] != nullptr;
         j = (j + 1) & (capacity_ - 1)) {
      const size_t home = Home(slots_[j]);
      const bool reachable = hole < j ? (home <= hole || home > j) : (home <= hole && home > j);
      if (!reachable) continue;
      slots_[hole] = slots_[j];
      slots_[j] = nullptr;
      hole = j;
    }
  }

 private:
  size_t Home(const void* p) const {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
    return static_cast<size_t>((bits >> 6) * 0x9E3779B97F4A7C15ull >> 20) & (capacity_ - 1);
  }
  size_t Find(const void* p) const {  // capacity_ when absent
    if (capacity_ == 0) return 0;
    for (size_t i = Home(p); slots_[i] != nullptr; i = (i + 1) & (capacity_ - 1))
      if (slots_[i] == p) return i;
    return capacity_;
  }
  bool Grow() {
    const size_t capacity = capacity_ == 0 ? 64 : 2 * capacity_;
    auto* slots = static_cast<const void**>(std::calloc(capacity, sizeof(void*)));
    if (slots == nullptr) return false;
    const void** old = slots_;
    const size_t oldCapacity = capacity_;
    slots_ = slots;
    capacity_ = capacity;
    count_ = 0;
    for (size_t i = 0; i < oldCapacity; ++i)
      if (old[i] != nullptr) Insert(old[i]);
    std::free(old);
    return true;
  }

  const void** slots_ = nullptr;
  size_t capacity_ = 0;  // 0 or a power of two
  size_t count_ = 0;
};

// Freed mappings kept for reuse, oldest first.
struct Cached {
  void* block;
  std::int64_t length;
};

// Everything below is guarded by gMutex.
std::mutex gMutex;
LiveSet gLive;
Cached gCache[kCacheBlocks];
int gCached = 0;
std::int64_t gCachedBytes = 0;

Header* HeaderOf(void* user) {
  return reinterpret_cast<Header*>(static_cast<char*>(user) - sizeof(Header));
}

#ifdef TESSIVO_IPP_TESTING
IppAllocLedger gLedger{};
long long gFailCountdown = 0;  // attempts until the injected failure; 0 = off
bool gFailPersistent = false;
bool gFailingForever = false;

// Counts the attempt and says whether it is to fail.
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

void NoteAllocated(Kind kind, std::int64_t bytes) {
  if (kind == kPlane) {
    ++gLedger.planeAllocs;
    Raise(gLedger.livePlanes, gLedger.peakPlanes, 1);
  } else {
    ++gLedger.bufferAllocs;
    Raise(gLedger.liveBuffers, gLedger.peakBuffers, 1);
  }
  Raise(gLedger.liveBytes, gLedger.peakBytes, bytes);
}

void NoteFreed(Kind kind, std::int64_t bytes) {
  if (kind == kPlane) {
    ++gLedger.planeFrees;
    --gLedger.livePlanes;
  } else {
    ++gLedger.bufferFrees;
    --gLedger.liveBuffers;
  }
  gLedger.liveBytes -= bytes;
}

void NoteBadFree() { ++gLedger.badFrees; }
#else
// The shipped variant counts nothing and fails no allocation on purpose.
bool CountAttempt() { return false; }
void NoteAllocated(Kind, std::int64_t) {}
void NoteFreed(Kind, std::int64_t) {}
void NoteBadFree() {}
#endif

void TakeCached(int i) {
  gCachedBytes -= gCache[i].length;
  for (int j = i + 1; j < gCached; ++j) gCache[j - 1] = gCache[j];
  --gCached;
}

// A mapping of `length` bytes (whole pages) starting on a huge-page
// boundary: a cached one of that length, or a new one; null when the
// system refuses.
void* Map(std::int64_t length) {
  for (int i = gCached - 1; i >= 0; --i)
    if (gCache[i].length == length) {
      void* block = gCache[i].block;
      TakeCached(i);
      return block;
    }
  const size_t over = static_cast<size_t>(length + kHugePage);
  void* map = mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(map);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t end = start + over, stop = aligned + static_cast<std::uintptr_t>(length);
  if (aligned > start) munmap(map, aligned - start);
  if (end > stop) munmap(reinterpret_cast<void*>(stop), end - stop);
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, static_cast<size_t>(length), MADV_HUGEPAGE);  // a hint; failure is harmless
  return block;
}

// Keeps a freed mapping for reuse, unmapping the oldest ones beyond the
// cache's bounds.
void Unmap(void* block, std::int64_t length) {
  if (length > kCacheBytes) {
    munmap(block, static_cast<size_t>(length));
    return;
  }
  auto dropOldest = [] {
    munmap(gCache[0].block, static_cast<size_t>(gCache[0].length));
    TakeCached(0);
  };
  if (gCached == kCacheBlocks) dropOldest();
  gCache[gCached++] = Cached{block, length};
  gCachedBytes += length;
  while (gCachedBytes > kCacheBytes) dropOldest();
}

void* Allocate(std::int64_t bytes, Kind kind) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (CountAttempt() || bytes > kMaxBytes) return nullptr;
  const std::int64_t total = kAlign + bytes;
  std::int64_t mapped = total >= kMapFrom ? (total + kPage - 1) / kPage * kPage : 0;
  void* raw = mapped != 0 ? Map(mapped) : nullptr;
  if (raw == nullptr) {
    mapped = 0;
    if (posix_memalign(&raw, kAlign, static_cast<size_t>(total)) != 0) return nullptr;
  }
  void* user = static_cast<char*>(raw) + kAlign;
  if (!gLive.Insert(user)) {
    if (mapped != 0)
      Unmap(raw, mapped);
    else
      std::free(raw);
    return nullptr;
  }
  *HeaderOf(user) = Header{bytes, mapped, kind};
  NoteAllocated(kind, bytes);
  return user;
}

void Release(void* user, Kind kind) {
  if (user == nullptr) return;
  std::lock_guard<std::mutex> lock(gMutex);
  // Not ours, already freed, or freed with the other function.
  if (!gLive.Contains(user) || HeaderOf(user)->kind != kind) {
    NoteBadFree();
    return;
  }
  gLive.Erase(user);
  const Header header = *HeaderOf(user);
  NoteFreed(kind, header.bytes);
  void* raw = static_cast<char*>(user) - kAlign;
  if (header.mapped != 0)
    Unmap(raw, header.mapped);
  else
    std::free(raw);
}

}  // namespace

extern "C" {

Ipp32f* ippiMalloc_32f_C1(int width, int height, int* pStepBytes) {
  if (pStepBytes != nullptr) *pStepBytes = 0;
  if (width < 1 || height < 1) return nullptr;
  const std::int64_t step = (std::int64_t{width} * 4 + kAlign - 1) / kAlign * kAlign;
  // Refused before any memory is asked for: a frame no host hands over, and
  // one the rest of the primitives could not address with int sizes.
  if (step > INT_MAX || step * height > INT_MAX) return nullptr;
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

#ifdef TESSIVO_IPP_TESTING
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
#endif  // TESSIVO_IPP_TESTING

}  // extern "C"
