#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "ipp.h"
#include "ipp_testing.h"

namespace {

bool Aligned64(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; }

IppAllocLedger Ledger() {
  IppAllocLedger l;
  ippTestGetLedger(&l);
  return l;
}

TEST(Allocator, PlanesHaveAlignedRowsAndRefuseBadSizes) {
  for (auto [width, want] : {std::pair{1, 64}, {16, 64}, {17, 128}, {100, 448}}) {
    int step = -1;
    Ipp32f* p = ippiMalloc_32f_C1(width, 3, &step);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(step, want) << width;
    for (int y = 0; y < 3; ++y) EXPECT_TRUE(Aligned64(reinterpret_cast<char*>(p) + y * step));
    ippiFree(p);
  }
  for (auto [w, h] :
       {std::pair{0, 5}, {5, 0}, {-1, 5}, {5, -3}, {INT_MAX, INT_MAX}, {536870911, 8},
        {65535, 65535}, {INT_MAX / 4, 2}}) {
    int step = 123;
    EXPECT_EQ(ippiMalloc_32f_C1(w, h, &step), nullptr) << w << "x" << h;
    EXPECT_EQ(step, 0);
  }
  void* b = ippMalloc(1);
  EXPECT_TRUE(b != nullptr && Aligned64(b));
  ippFree(b);
  EXPECT_EQ(ippMalloc(0), nullptr);
  EXPECT_EQ(ippMalloc(-64), nullptr);
}

TEST(Allocator, LedgerBalancesAndCountsForeignFrees) {
  ippTestResetLedger();
  int step = 0;
  Ipp32f* a = ippiMalloc_32f_C1(100, 2, &step);
  Ipp32f* b = ippiMalloc_32f_C1(100, 2, &step);
  void* buf = ippMalloc(1000);
  ippiFree(a + 16);  // inside a live plane, 64-byte aligned
  ippFree(b);        // a plane through the buffer free
  ippiFree(buf);     // and the other way round
  ippiFree(nullptr);
  ippFree(nullptr);
  IppAllocLedger l = Ledger();
  EXPECT_EQ(l.badFrees, 3);
  EXPECT_EQ(l.livePlanes, 2);
  EXPECT_EQ(l.liveBytes, 2 * 448 * 2 + 1000);
  EXPECT_EQ(l.attempts, 3);
  ippiFree(a);
  ippiFree(b);
  ippFree(buf);
  l = Ledger();
  EXPECT_EQ(l.planeAllocs, 2);
  EXPECT_EQ(l.planeFrees, 2);
  EXPECT_EQ(l.bufferFrees, 1);
  EXPECT_EQ(l.livePlanes + l.liveBuffers + l.liveBytes, 0);
  EXPECT_EQ(l.peakPlanes, 2);
  EXPECT_EQ(l.peakBytes, 2 * 448 * 2 + 1000);
}

TEST(Allocator, InjectedFailuresAloneAndPersistent) {
  ippTestResetLedger();
  int step = 0;
  ippTestFailAllocation(2, 0);
  Ipp32f* first = ippiMalloc_32f_C1(8, 8, &step);
  void* second = ippMalloc(32);
  void* third = ippMalloc(32);
  EXPECT_TRUE(first && !second && third);
  ippiFree(first);
  ippFree(third);
  ippTestFailAllocation(1, 1);
  for (int i = 0; i < 3; ++i) {
    step = 9;
    EXPECT_EQ(ippiMalloc_32f_C1(8, 8, &step), nullptr);
    EXPECT_EQ(step, 0);
  }
  ippTestFailAllocation(0, 0);
  third = ippMalloc(16);
  EXPECT_NE(third, nullptr);
  ippFree(third);
  const IppAllocLedger l = Ledger();
  EXPECT_EQ(l.injectedFailures, 4);
  EXPECT_EQ(l.attempts, 7);
  EXPECT_EQ(l.liveBytes, 0);
}

// Frame-sized blocks take another road through the allocator (mapped
// directly, kept for reuse when freed): the same contracts hold there, and
// more blocks than the cache keeps come and go cleanly.
TEST(Allocator, FrameSizedBlocksKeepTheContracts) {
  // First, while the cache is far from full: a mapping taken from among
  // newer ones leaves each of those cached once, so two live planes never
  // share a block.
  auto mapOf = [](int width) {
    int step = 0;
    return ippiMalloc_32f_C1(width, 1500, &step);
  };
  Ipp32f* taken[3] = {mapOf(1200), mapOf(1201), mapOf(1201)};
  for (Ipp32f* p : taken) ippiFree(p);
  taken[0] = mapOf(1200);
  taken[1] = mapOf(1201);
  taken[2] = mapOf(1201);
  EXPECT_NE(taken[1], taken[2]);
  for (Ipp32f* p : taken) ippiFree(p);

  ippTestResetLedger();
  std::vector<Ipp32f*> planes;
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 40; ++i) {
      int step = 0;
      Ipp32f* p = ippiMalloc_32f_C1(1000 + i % 3, 1500, &step);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(step, (4 * (1000 + i % 3) + 63) / 64 * 64);
      EXPECT_TRUE(Aligned64(p));
      p[0] = 1.0f;
      p[step / 4 * 1500 - 1] = 2.0f;  // the block's last float
      planes.push_back(p);
      if (round == 1) {  // freed at once: the next request may reuse it
        ippiFree(planes.back());
        planes.pop_back();
      }
    }
  void* buffer = ippMalloc(5 << 20);
  ASSERT_NE(buffer, nullptr);
  EXPECT_TRUE(Aligned64(buffer));
  static_cast<char*>(buffer)[(5 << 20) - 1] = 1;
  for (Ipp32f* p : planes) ippiFree(p);
  ippFree(buffer);
  ippiFree(planes.front());  // a second free of a cached block
  const IppAllocLedger l = Ledger();
  EXPECT_EQ(l.planeAllocs, 80);
  EXPECT_EQ(l.planeFrees, 80);
  EXPECT_EQ(l.badFrees, 1);
  EXPECT_EQ(l.liveBytes, 0);
  EXPECT_EQ(l.peakPlanes, 41);
}

// Frees in any order, each followed by a second free, keep the books.
TEST(Allocator, ShuffledFreesAndSecondFreesBalance) {
  ippTestResetLedger();
  std::vector<void*> blocks;
  for (int i = 0; i < 700; ++i) blocks.push_back(ippMalloc(16 + i % 200));
  std::mt19937 rng(5);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  for (void* b : blocks) {
    ippFree(b);
    ippFree(b);
  }
  const IppAllocLedger l = Ledger();
  EXPECT_EQ(l.bufferFrees, 700);
  EXPECT_EQ(l.badFrees, 700);
  EXPECT_EQ(l.liveBuffers + l.liveBytes, 0);
}

}  // namespace
