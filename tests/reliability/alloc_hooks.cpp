#include "alloc_hooks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "StandInHost.h"

namespace {

constexpr std::size_t kPlain = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

std::atomic<long long> gAttempts{0};
std::atomic<long long> gFailures{0};
std::atomic<long long> gLive{0};
std::atomic<long long> gFailAt{0};  // attempt number to fail; 0 = off
std::atomic<bool> gFailOnward{false};

// The blocks that were counted, so that their release is counted too,
// whoever releases them. A set of addresses beside the blocks rather than a
// header in front of them: every block stays exactly the bytes asked for,
// and the sanitizer build sees an access one byte before or after it.
// Open addressing with linear probing; removal shifts the run back.
constexpr int kSlotBits = 17;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
std::uintptr_t gSlots[kSlots];  // 0: free
std::size_t gUsed = 0;
std::mutex gSlotsMutex;

std::size_t Home(std::uintptr_t p) {
  return static_cast<std::size_t>(((p >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

void Remember(void* block) {
  const auto p = reinterpret_cast<std::uintptr_t>(block);
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  if (++gUsed > kSlots / 2) {
    std::fputs("alloc_hooks: too many live blocks to track\n", stderr);
    std::abort();
  }
  std::size_t i = Home(p);
  while (gSlots[i] != 0) i = (i + 1) % kSlots;
  gSlots[i] = p;
}

// True when `block` was remembered; it is forgotten.
bool Forget(void* block) {
  const auto p = reinterpret_cast<std::uintptr_t>(block);
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  std::size_t i = Home(p);
  while (gSlots[i] != p) {
    if (gSlots[i] == 0) return false;
    i = (i + 1) % kSlots;
  }
  gSlots[i] = 0;
  // Entries after the hole that could not sit at their home move into it.
  for (std::size_t j = (i + 1) % kSlots; gSlots[j] != 0; j = (j + 1) % kSlots) {
    const std::size_t k = Home(gSlots[j]);
    const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (stays) continue;
    gSlots[i] = gSlots[j];
    gSlots[j] = 0;
    i = j;
  }
  --gUsed;
  return true;
}

// Null when the attempt is failed on purpose or memory runs out.
void* Allocate(std::size_t bytes, std::size_t align) {
  const bool counted = !tessivo_host::InHostCode();
  if (counted) {
    const long long n = ++gAttempts;
    const long long at = gFailAt.load();
    if (at > 0 && (n == at || (gFailOnward && n > at))) {
      ++gFailures;
      return nullptr;
    }
  }
  if (bytes == 0) bytes = 1;  // distinct blocks for empty requests
  void* block = nullptr;
  if (align <= kPlain) {
    block = std::malloc(bytes);
  } else if (posix_memalign(&block, align, bytes) != 0) {
    block = nullptr;
  }
  if (block != nullptr && counted) {
    Remember(block);
    ++gLive;
  }
  return block;
}

void Release(void* block) {
  if (block == nullptr) return;
  if (Forget(block)) --gLive;
  std::free(block);
}

void* AllocateOrThrow(std::size_t bytes, std::size_t align) {
  void* p = Allocate(bytes, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace alloc_hooks {

Counts Get() { return Counts{gAttempts.load(), gFailures.load(), gLive.load()}; }

void FailAttempt(long long n, bool persistent) {
  gFailAt = 0;
  gFailOnward = persistent;
  gFailAt = n > 0 ? gAttempts.load() + n : 0;
}

}  // namespace alloc_hooks

// Default visibility: the project hides symbols by default, and only an
// exported definition replaces the standard library's for the module.
#define TESSIVO_EXPORT __attribute__((visibility("default")))

TESSIVO_EXPORT void* operator new(std::size_t n) { return AllocateOrThrow(n, kPlain); }
TESSIVO_EXPORT void* operator new[](std::size_t n) { return AllocateOrThrow(n, kPlain); }
TESSIVO_EXPORT void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n, kPlain);
}
TESSIVO_EXPORT void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n, kPlain);
}
TESSIVO_EXPORT void* operator new(std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
TESSIVO_EXPORT void* operator new[](std::size_t n, std::align_val_t a) {
  return AllocateOrThrow(n, static_cast<std::size_t>(a));
}
TESSIVO_EXPORT void* operator new(std::size_t n, std::align_val_t a,
                                  const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}
TESSIVO_EXPORT void* operator new[](std::size_t n, std::align_val_t a,
                                    const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<std::size_t>(a));
}

TESSIVO_EXPORT void operator delete(void* p) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete[](void* p) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete(void* p, std::size_t) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete[](void* p, std::size_t) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
TESSIVO_EXPORT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  Release(p);
}
TESSIVO_EXPORT void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  Release(p);
}
TESSIVO_EXPORT void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  Release(p);
}
