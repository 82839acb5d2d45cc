// Every allocating operation, failed at each of its allocations in turn,
// throws and leaks nothing.
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "image_test_util.h"
#include "ipp_testing.h"

namespace {
long long gArrayCountdown = 0;  // the nth array new from now throws; 0 = off
long long gLiveArrays = 0;
}  // namespace

void* operator new[](std::size_t bytes) {
  if (gArrayCountdown > 0 && --gArrayCountdown == 0) throw std::bad_alloc();
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  ++gLiveArrays;
  return p;
}
void operator delete[](void* p) noexcept {
  if (p != nullptr) --gLiveArrays;
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }

namespace {

IppAllocLedger Ledger() {
  IppAllocLedger ledger;
  ippTestGetLedger(&ledger);
  return ledger;
}

enum class Fault { kNthAllocation, kFromNthAllocation, kNthArrayNew };

// Runs `op` with failure n = 1, 2, ... until it succeeds; each failure must
// come out as the matching exception, with planes, buffers and arrays back
// to where they were and no bad free.
void SweepFailures(const std::function<void()>& op) {
  for (Fault fault : {Fault::kNthAllocation, Fault::kFromNthAllocation, Fault::kNthArrayNew}) {
    for (long long n = 1; n < 64; ++n) {
      SCOPED_TRACE(testing::Message() << "fault " << static_cast<int>(fault) << " n " << n);
      const IppAllocLedger before = Ledger();
      const long long arraysBefore = gLiveArrays;
      ippTestResetLedger();
      if (fault == Fault::kNthArrayNew)
        gArrayCountdown = n;
      else
        ippTestFailAllocation(n, fault == Fault::kFromNthAllocation);
      bool threw = false;
      try {
        op();
      } catch (const NO_MEMORY_ERROR&) {
        threw = fault != Fault::kNthArrayNew;
      } catch (const std::bad_alloc&) {
        threw = fault == Fault::kNthArrayNew;
      }
      const bool reached =
          fault == Fault::kNthArrayNew ? gArrayCountdown == 0 : Ledger().injectedFailures > 0;
      ippTestFailAllocation(0, 0);
      gArrayCountdown = 0;
      const IppAllocLedger after = Ledger();
      EXPECT_EQ(after.livePlanes, before.livePlanes);
      EXPECT_EQ(after.liveBuffers, before.liveBuffers);
      EXPECT_EQ(gLiveArrays, arraysBefore);
      EXPECT_EQ(after.badFrees, 0);
      EXPECT_EQ(threw, reached) << "a failed allocation must throw, and only then";
      if (!reached) break;
    }
  }
}

// Into an empty image: after a throw it is empty again or whole, never
// partly allocated.
void IntoEmpty(const std::function<void(KoImage&)>& op) {
  KoImage t;
  try {
    op(t);
  } catch (...) {
    if (t.numLayers == 0)
      EXPECT_EQ(t.layers, nullptr);
    else
      EXPECT_EQ(t.numLayers, 3);
    throw;
  }
}

// Growing a one-plane image: after a throw it is exactly as it was.
void Growing(const std::function<void(KoImage&)>& op) {
  KoImage t(kSize, 1);
  float** arrays = t.layers;
  float* plane0 = t.layers[0];
  try {
    op(t);
  } catch (...) {
    EXPECT_EQ(t.numLayers, 1);
    EXPECT_EQ(t.layers, arrays);
    EXPECT_EQ(t.layers[0], plane0);
    throw;
  }
}

struct Operation {
  std::string name;
  std::function<void()> run;
};

// A record of three-plane operands, into an empty image, into a full one and
// as a constructor argument.
template <class Record>
void AddRecord(std::vector<Operation>& ops, const std::string& name, Record record, KoImage& full) {
  ops.push_back({name + " into empty", [=] { IntoEmpty([&](KoImage& t) { t = record; }); }});
  ops.push_back({name + " into full", [=, &full] { full = record; }});
  ops.push_back({name + " constructed", [=] { KoImage t(record); }});
}

TEST(ImageFailures, EveryAllocationCanFailCleanly) {
  KoImage a(kSize, 3), b(kSize, 3), full(kSize, 3);
  Fill(a, Pattern);
  Fill(b, Other);
  Fill(full, Pattern);
  static const float twist[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
  static const float taps[] = {0.25f, 0.5f, 0.25f};
  static const Kernel kernel{1, 3, taps};

  std::vector<Operation> ops = {
      {"size and count", [] { KoImage t(kSize, 3); }},
      {"copy", [&] { KoImage t(a); }},
      {"Init", [&] { IntoEmpty([&](KoImage& t) { t.Init(a); }); }},
      {"assign to empty", [&] { IntoEmpty([&](KoImage& t) { t = a; }); }},
      {"ImageMalloc",
       [] {
         KoImage t;
         t.layers = new float*[3]();
         t.steps = new int[3]();
         t.numLayers = 3;
         t.size = kSize;
         ImageMalloc(t);
       }},
      {"Expend", [&] { Growing([&](KoImage& t) { t.Expend(a); }); }},
      {"twist growth", [&] { Growing([&](KoImage& t) { t = a.ColorTwist_R(&twist); }); }},
  };
  AddRecord(ops, "negate", -a, full);
  AddRecord(ops, "divide by constant", a / 3.0f, full);
  AddRecord(ops, "subtract", a - b, full);
  AddRecord(ops, "twist", a.ColorTwist_R(&twist), full);
  AddRecord(ops, "blur", a.Blurred_R(1.0f), full);
  AddRecord(ops, "threshold", a.Threshold(0, 0, 1, 1), full);
  AddRecord(ops, "log", a.Log(), full);
  AddRecord(ops, "high-pass", a.HighPassFilter(1.0f), full);
  AddRecord(ops, "sigmoid", a.SigmoidalCurve_R(5.0f, 0.5f), full);
  AddRecord(ops, "blend", BlendMode(a, b, 0), full);
  AddRecord(ops, "filter", a.Filter(kernel), full);

  for (const Operation& op : ops) {
    SCOPED_TRACE(op.name);
    SweepFailures(op.run);
  }
}

}  // namespace
