// Random small images and a random sequence of KoImage operations: in-place
// arithmetic, arithmetic records, thresholds, log, exp, colour twists,
// blurs, high-pass, sigmoidal curves, blends, separable filters, copies and
// plane-0 views, with allocation failures injected now and then.
//
// Every operation is checked on its own against a plain scalar evaluation
// of its operands as they were just before it (float, in the operation's
// order; double with a tolerance where exp, log or a sum of products is
// involved): the destination holds the expected planes, keeps its plane
// pointers, and every other image is left exactly as it was. Operands
// always honour the operations' stated limits (plane counts, sizes). After
// the last operation every plane and work buffer has been freed, each once.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "FilterReference.h"
#include "FuzzSupport.h"
#include "KoImageStracture.h"
#include "ipp_testing.h"

namespace {

using fuzz::Input;

constexpr int kSlots = 4;

// The size of every image of the current input, pixels.
int gWidth = 1, gHeight = 1;

int RowStep() { return (4 * gWidth + 63) / 64 * 64; }

using Plane = std::vector<float>;  // gWidth * gHeight values, row after row

Plane ReadPlane(const KoImage& image, int i) {
  Plane p(static_cast<std::size_t>(gWidth) * gHeight);
  for (int y = 0; y < gHeight; ++y)
    for (int x = 0; x < gWidth; ++x)
      p[static_cast<std::size_t>(y) * gWidth + x] = image.layers[i][y * (image.steps[i] / 4) + x];
  return p;
}

// An image as it was before an operation.
struct Snapshot {
  int count = 0;
  float** layers = nullptr;
  int* steps = nullptr;
  bool owns = true;
  std::vector<float*> planePointers;
  std::vector<Plane> planes;
};

Snapshot Take(const KoImage& image) {
  Snapshot s;
  s.count = image.numLayers;
  s.layers = image.layers;
  s.steps = image.steps;
  s.owns = image.ownsLayers;
  for (int i = 0; i < image.numLayers; ++i) {
    s.planePointers.push_back(image.layers[i]);
    s.planes.push_back(ReadPlane(image, i));
  }
  return s;
}

// An operand as the operation reads it: an image or a view of its plane 0.
struct Operand {
  int count;
  std::vector<const Plane*> planes;
};

Operand Whole(const Snapshot& s) {
  Operand o{s.count, {}};
  for (const Plane& p : s.planes) o.planes.push_back(&p);
  return o;
}

Operand Plane0(const Snapshot& s) { return Operand{1, {&s.planes[0]}}; }

// What one destination plane must hold afterwards.
struct PlaneExpect {
  enum Kind { Unchanged, Unspecified, Exact, Close } kind = Unchanged;
  std::vector<double> v, tol;
};

struct Expect {
  int count = 0;
  std::vector<PlaneExpect> planes;
  bool keepPointers = false;  // planes it had stay where they were
};

// The destination's expectation before the operation's planes are set: an
// empty one is allocated with `allocate` planes of unspecified pixels; one
// with planes keeps them and its count.
Expect Destination(const Snapshot& t, int allocate) {
  Expect e;
  e.count = t.count == 0 ? allocate : t.count;
  e.keepPointers = t.count > 0;
  e.planes.resize(static_cast<std::size_t>(e.count));
  if (t.count == 0)
    for (PlaneExpect& p : e.planes) p.kind = PlaneExpect::Unspecified;
  return e;
}

template <class F>
void SetExact(Expect& e, int i, const Plane& a, F f) {
  PlaneExpect& p = e.planes[i];
  p.kind = PlaneExpect::Exact;
  p.v.clear();
  for (float x : a) p.v.push_back(f(x));
}

template <class F>
void SetExact2(Expect& e, int i, const Plane& a, const Plane& b, F f) {
  PlaneExpect& p = e.planes[i];
  p.kind = PlaneExpect::Exact;
  p.v.clear();
  for (std::size_t k = 0; k < a.size(); ++k) p.v.push_back(f(a[k], b[k]));
}

// f(x) gives the expected value and its tolerance.
template <class F>
void SetClose(Expect& e, int i, const Plane& a, F f) {
  PlaneExpect& p = e.planes[i];
  p.kind = PlaneExpect::Close;
  p.v.clear();
  p.tol.clear();
  for (float x : a) {
    const std::pair<double, double> r = f(x);
    p.v.push_back(r.first);
    p.tol.push_back(r.second);
  }
}

// A filter result, or with `plus` the high-pass 0.5 * (1 - r) + 0.5 * plus;
// planes with non-finite or huge values are not compared.
void SetFiltered(Expect& e, int i, const fuzz::RefPlane& r, const Plane* plus = nullptr) {
  PlaneExpect& p = e.planes[i];
  if (!r.ok) {
    p.kind = PlaneExpect::Unspecified;
    return;
  }
  p.kind = PlaneExpect::Close;
  p.v.clear();
  p.tol.clear();
  for (std::size_t k = 0; k < r.t.size(); ++k) {
    const fuzz::Term& t = r.t[k];
    if (!fuzz::Comparable(t)) {
      p.v.push_back(fuzz::kNaN);
      p.tol.push_back(-1.0);  // not compared
      continue;
    }
    p.v.push_back(plus ? 0.5 * (1.0 - t.v) + 0.5 * (*plus)[k] : t.v);
    p.tol.push_back(fuzz::Tolerance(t) +
                    (plus ? 1e-6 * (1.0 + std::fabs(t.v) + std::fabs((*plus)[k])) : 0.0));
  }
}

void Check(const KoImage& image, const Snapshot& before, const Expect& e, const char* op) {
  FUZZ_CHECK(image.numLayers == e.count, "%s: %d planes, expected %d", op, image.numLayers,
             e.count);
  if (e.count == 0) return;
  FUZZ_CHECK(image.ownsLayers && image.size.width == gWidth && image.size.height == gHeight,
             "%s: owns %d, size %d x %d, expected %d x %d", op, image.ownsLayers, image.size.width,
             image.size.height, gWidth, gHeight);
  for (int i = 0; i < e.count; ++i) {
    FUZZ_CHECK(image.layers[i] != nullptr && image.steps[i] == RowStep(), "%s: plane %d %p step %d",
               op, i, static_cast<void*>(image.layers[i]), image.steps[i]);
    if (e.keepPointers && i < before.count) {
      FUZZ_CHECK(image.layers[i] == before.planePointers[i], "%s: plane %d moved", op, i);
    }
    const PlaneExpect& p = e.planes[i];
    if (p.kind == PlaneExpect::Unspecified) continue;
    const Plane got = ReadPlane(image, i);
    for (std::size_t k = 0; k < got.size(); ++k) {
      const int x = static_cast<int>(k % gWidth), y = static_cast<int>(k / gWidth);
      switch (p.kind) {
        case PlaneExpect::Unchanged:
          FUZZ_CHECK(fuzz::Bits(got[k]) == fuzz::Bits(before.planes[i][k]),
                     "%s: plane %d at (%d, %d) changed from %a to %a", op, i, x, y,
                     before.planes[i][k], got[k]);
          break;
        case PlaneExpect::Exact:
          FUZZ_CHECK(fuzz::Same(static_cast<float>(p.v[k]), got[k]),
                     "%s: plane %d at (%d, %d) is %a, expected %a", op, i, x, y, got[k], p.v[k]);
          break;
        case PlaneExpect::Close:
          FUZZ_CHECK(p.tol[k] < 0 || fuzz::Near(p.v[k], got[k], p.tol[k]),
                     "%s: plane %d at (%d, %d) is %a, expected %a within %g", op, i, x, y, got[k],
                     p.v[k], p.tol[k]);
          break;
        case PlaneExpect::Unspecified:
          break;
      }
    }
  }
}

// An image untouched by an operation: same arrays, planes and pixels.
void CheckUntouched(const KoImage& image, const Snapshot& before, int slot, const char* op) {
  FUZZ_CHECK(image.numLayers == before.count && image.layers == before.layers &&
                 image.steps == before.steps && image.ownsLayers == before.owns,
             "%s: image %d not written by it changed", op, slot);
  Expect keep;
  keep.count = before.count;
  keep.keepPointers = true;
  keep.planes.resize(static_cast<std::size_t>(before.count));
  Check(image, before, keep, op);
}

// --- Values --------------------------------------------------------------------------

// Fills every plane: each value from the input, one constant, a ramp, or
// unit-range noise seeded from the input with a few special values.
void Fill(KoImage& image, Input& in) {
  for (int i = 0; i < image.numLayers; ++i) {
    const int mode = in.Byte() % 4;
    const float a = in.Float(), b = in.Float();
    std::uint32_t seed = in.U32() | 1;
    for (int y = 0; y < gHeight; ++y)
      for (int x = 0; x < gWidth; ++x) {
        float v = a;
        if (mode == 0) v = in.Float();
        if (mode == 2) v = a + (b - a) * (x + y) / static_cast<float>(gWidth + gHeight);
        if (mode == 3) {
          seed ^= seed << 13;
          seed ^= seed >> 17;
          seed ^= seed << 5;
          v = seed % 64 == 0 ? b : (seed >> 8) / 16777216.0f;
        }
        image.layers[i][y * (image.steps[i] / 4) + x] = v;
      }
  }
}

// A constant: mostly an ordinary one, sometimes any float.
float Constant(Input& in) { return in.Byte() % 4 == 0 ? in.Float() : in.Between(-4.0f, 4.0f); }

float Sigma(Input& in) { return in.Between(0.34f, 3.0f); }

// Blur of one plane with the record's kernel size: K = 2 trunc(3 sigma) + 1.
fuzz::RefPlane Blur(const Plane& p, float sigma) {
  const int k = 2 * static_cast<int>(3.0f * sigma) + 1;
  return fuzz::SeparableReplicate(
      gWidth, gHeight, fuzz::GaussTaps(k, sigma), k / 2,
      [&](int x, int y) { return p[static_cast<std::size_t>(y) * gWidth + x]; });
}

float Threshold(float x, float lt, float vlt, float gt, float vgt) {
  if (x < lt || std::isnan(x)) return vlt;
  return x > gt ? vgt : x;
}

std::pair<double, double> ExpOf(float x) {
  const double e = fuzz::ContractExp(x);
  return {e, fuzz::RelativeTolerance(e, 1e-5, 1e-37)};
}

std::pair<double, double> LnOf(float x) {
  const double e = x == 0.0f ? -HUGE_VAL : std::log(static_cast<double>(x));
  return {e, fuzz::RelativeTolerance(e, 1e-6, 1e-7)};
}

// --- The fuzzer's state ---------------------------------------------------------------

struct State {
  explicit State(Input& input) : in(input) {}
  Input& in;
  std::array<std::unique_ptr<KoImage>, kSlots> slots;
  std::array<Snapshot, kSlots> before;

  KoImage& Slot(int i) { return *slots[i]; }
  int PickSlot() { return in.Byte() % kSlots; }
};

// An operation as planned: `dest` is the slot it writes (-1: none) and
// `expect` what that slot must then hold.
struct Planned {
  const char* name = "";
  int dest = -1;
  Expect expect;
  bool skip = true;  // the operands do not meet the operation's limits
};

enum ArithKind { kAdd, kSub, kMul, kDiv };
const char* const kArithNames[] = {"+", "-", "*", "/"};

float Arith(ArithKind k, float a, float b) {
  switch (k) {
    case kAdd:
      return a + b;
    case kSub:
      return a - b;
    case kMul:
      return a * b;
    default:
      return a / b;
  }
}

// target op= arg, arg a float or an image.
template <class Arg>
void CompoundAssign(KoImage& target, ArithKind kind, const Arg& arg) {
  switch (kind) {
    case kAdd:
      target += arg;
      return;
    case kSub:
      target -= arg;
      return;
    case kMul:
      target *= arg;
      return;
    case kDiv:
      target /= arg;
      return;
  }
}

// --- Operations ----------------------------------------------------------------------
// Each reads its arguments, plans the expectation from the snapshots and,
// if the operands meet the operation's limits, carries it out.

// this op= constant, on the image or on a view of its plane 0.
void InPlaceConstant(State& s, Planned& p) {
  const int d = s.PickSlot();
  const bool view = s.in.Bool();
  const auto kind = static_cast<ArithKind>(s.in.Byte() % 4);
  const float c = Constant(s.in);
  const Snapshot& t = s.before[d];
  if (view && t.count == 0) return;
  p = Planned{"op= constant", d, Destination(t, 0), false};
  for (int i = 0; i < (view ? 1 : t.count); ++i) {
    if (kind == kDiv && c == 0.0f) continue;  // refused: the plane stays
    const float r = kind == kDiv ? 1.0f / c : c;
    SetExact(p.expect, i, t.planes[i],
             [&](float x) { return Arith(kind == kDiv ? kMul : kind, x, r); });
  }
  KoImage& image = s.Slot(d);
  KoImage v = view ? image.Layer1() : KoImage();
  CompoundAssign(view ? v : image, kind, c);
}

// this op= image (or a plane-0 view of one), on an image or a view.
void InPlaceImage(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const bool viewD = s.in.Bool(), viewA = s.in.Bool();
  const auto kind = static_cast<ArithKind>(s.in.Byte() % 4);
  const Snapshot& t = s.before[d];
  if ((viewD && t.count == 0) || (viewA && s.before[a].count == 0)) return;
  const Operand o = viewA ? Plane0(s.before[a]) : Whole(s.before[a]);
  if (o.count > (viewD ? 1 : t.count)) return;  // the argument's planes index this image's
  p = Planned{"op= image", d, Destination(t, 0), false};
  for (int i = 0; i < o.count; ++i)
    SetExact2(p.expect, i, t.planes[i], *o.planes[i],
              [&](float x, float y) { return Arith(kind, x, y); });
  KoImage& image = s.Slot(d);
  KoImage vd = viewD ? image.Layer1() : KoImage();
  KoImage va = viewA ? s.Slot(a).Layer1() : KoImage();
  CompoundAssign(viewD ? vd : image, kind, viewA ? va : s.Slot(a));
}

// Threshold_I, Exp_I or Log_I, on an image or a view.
void InPlaceFunction(State& s, Planned& p) {
  const int d = s.PickSlot();
  const bool view = s.in.Bool();
  const int which = s.in.Byte() % 3;
  const float v = Constant(s.in);
  const Snapshot& t = s.before[d];
  if (view && t.count == 0) return;
  p = Planned{which == 0   ? "Threshold_I"
              : which == 1 ? "Exp_I"
                           : "Log_I",
              d, Destination(t, 0), false};
  for (int i = 0; i < (view ? 1 : t.count); ++i) {
    if (which == 0 && !(0.0f > v)) {  // a bound below 0 is refused
      SetExact(p.expect, i, t.planes[i], [&](float x) { return Threshold(x, 0.0f, 0.0f, v, v); });
    } else if (which == 1) {
      SetClose(p.expect, i, t.planes[i], ExpOf);
    } else if (which == 2) {
      SetClose(p.expect, i, t.planes[i], LnOf);
    }
  }
  KoImage& image = s.Slot(d);
  KoImage vd = view ? image.Layer1() : KoImage();
  KoImage& target = view ? vd : image;
  if (which == 0) target.Threshold_I(v);
  if (which == 1) target.Exp_I();
  if (which == 2) target.Log_I();
}

// How a record reaches its destination.
enum class Into { Assign, Construct, View };

Into PickInto(Input& in) {
  switch (in.Byte() % 4) {
    case 0:
      return Into::Construct;
    case 1:
      return Into::View;
    default:
      return Into::Assign;
  }
}

// The destination's expectation for a record whose loop runs over the
// first operand's `count` planes, or false when the destination cannot
// take it (fewer planes than the record writes).
bool RecordDestination(const Snapshot& t, Into into, int count, Expect& e) {
  if (into == Into::Construct) {
    e = Destination(Snapshot{}, count);
    return true;
  }
  if (into == Into::View) {
    if (t.count == 0 || count > 1) return false;
    e = Destination(t, 0);
    return true;
  }
  if (t.count != 0 && t.count < count) return false;
  e = Destination(t, count);
  return true;
}

// Carries a record into slot d as `into` says.
template <class Record>
void Deliver(State& s, int d, Into into, const Record& record) {
  switch (into) {
    case Into::Construct:
      s.slots[d] = std::make_unique<KoImage>(record);
      break;
    case Into::View:
      s.Slot(d).Layer1() = record;
      break;
    case Into::Assign:
      s.Slot(d) = record;
      break;
  }
}

// Carries a op rhs (a float or an image) into slot d.
template <class Rhs>
void DeliverArithmetic(State& s, int d, Into into, ArithKind kind, const KoImage& a,
                       const Rhs& rhs) {
  switch (kind) {
    case kAdd:
      return Deliver(s, d, into, a + rhs);
    case kSub:
      return Deliver(s, d, into, a - rhs);
    case kMul:
      return Deliver(s, d, into, a * rhs);
    case kDiv:
      return Deliver(s, d, into, a / rhs);
  }
}

// -a, a + c, a - c, a * c, a / c.
void NumberRecord(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const Into into = PickInto(s.in);
  const bool viewA = s.in.Bool();
  const int kind = s.in.Byte() % 5;  // 4: negation
  const float c = Constant(s.in);
  if (viewA && s.before[a].count == 0) return;
  const Operand o = viewA ? Plane0(s.before[a]) : Whole(s.before[a]);
  Expect e;
  if (!RecordDestination(s.before[d], into, o.count, e)) return;
  p = Planned{"number record", d, e, false};
  for (int i = 0; i < o.count; ++i) {
    if (kind == kDiv && c == 0.0f) continue;  // refused: the plane is not written
    SetExact(p.expect, i, *o.planes[i], [&](float x) {
      if (kind == 4) return x * -1.0f;
      if (kind == kDiv) return x * (1.0f / c);
      return Arith(static_cast<ArithKind>(kind), x, c);
    });
  }
  KoImage va = viewA ? s.Slot(a).Layer1() : KoImage();
  const KoImage& A = viewA ? va : s.Slot(a);
  if (kind == 4) return Deliver(s, d, into, -A);
  DeliverArithmetic(s, d, into, static_cast<ArithKind>(kind), A, c);
}

// a op b for two images (or plane-0 views).
void ImageRecord(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot(), b = s.PickSlot();
  const Into into = PickInto(s.in);
  const bool viewA = s.in.Bool(), viewB = s.in.Bool();
  const auto kind = static_cast<ArithKind>(s.in.Byte() % 4);
  if ((viewA && s.before[a].count == 0) || (viewB && s.before[b].count == 0)) return;
  const Operand oa = viewA ? Plane0(s.before[a]) : Whole(s.before[a]);
  const Operand ob = viewB ? Plane0(s.before[b]) : Whole(s.before[b]);
  Expect e;
  if (ob.count < oa.count || !RecordDestination(s.before[d], into, oa.count, e)) return;
  p = Planned{kArithNames[kind], d, e, false};
  for (int i = 0; i < oa.count; ++i)
    SetExact2(p.expect, i, *oa.planes[i], *ob.planes[i],
              [&](float x, float y) { return Arith(kind, x, y); });
  KoImage va = viewA ? s.Slot(a).Layer1() : KoImage();
  KoImage vb = viewB ? s.Slot(b).Layer1() : KoImage();
  DeliverArithmetic(s, d, into, kind, viewA ? va : s.Slot(a), viewB ? vb : s.Slot(b));
}

// The correction's luminance matrix, or any other.
float gTwist[3][4];

void ColorTwist(State& s, Planned& p) {
  static const float kRGBtoYUV[3][4] = {{0.299f, 0.587f, 0.114f, 0.0f},
                                        {-0.169f, -0.331f, 0.5f, 0.0f},
                                        {0.5f, -0.419f, -0.081f, 0.0f}};
  const int d = s.PickSlot(), a = s.PickSlot();
  const bool construct = s.in.Bool();
  if (s.in.Bool()) {
    std::memcpy(gTwist, kRGBtoYUV, sizeof gTwist);
  } else {
    for (auto& row : gTwist)
      for (float& t : row) t = s.in.Byte() % 8 == 0 ? s.in.Float() : s.in.Between(-2.0f, 2.0f);
  }
  const Snapshot& src = s.before[a];
  const Snapshot& t = construct ? Snapshot{} : s.before[d];
  if (src.count < 3) return;
  // The destination grows to the source's count; new planes past the
  // third are not written.
  Expect e = Destination(t, src.count);
  for (int i = t.count; i < src.count && t.count > 0; ++i) {
    e.planes.push_back(PlaneExpect{PlaneExpect::Unspecified, {}, {}});
    ++e.count;
  }
  p = Planned{"ColorTwist_R", d, e, false};
  for (int c = 0; c < 3; ++c) {
    PlaneExpect& pe = p.expect.planes[c];
    pe.kind = PlaneExpect::Close;
    pe.v.clear();
    pe.tol.clear();
    for (std::size_t k = 0; k < src.planes[0].size(); ++k) {
      double v = gTwist[c][3], mag = std::fabs(gTwist[c][3]);
      for (int j = 0; j < 3; ++j) {
        v += double(gTwist[c][j]) * src.planes[j][k];
        mag += std::fabs(double(gTwist[c][j]) * src.planes[j][k]);
      }
      pe.v.push_back(v);
      pe.tol.push_back(std::isfinite(mag) && mag <= 1e30 ? 1e-5 * mag + 1e-37 : -1.0);
    }
  }
  const auto record = s.Slot(a).ColorTwist_R(&gTwist);
  IppStatus status = 0;
  if (construct) {
    s.slots[d] = std::make_unique<KoImage>(record);
  } else {
    status = s.Slot(d) = record;
  }
  FUZZ_CHECK(status == ippStsNoErr, "ColorTwist_R: status %d", status);
}

// Blur, threshold or log record of an image or a view.
void FilterRecord(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const Into into = PickInto(s.in);
  const bool viewA = s.in.Bool();
  const int which = s.in.Byte() % 3;
  const float sigma = Sigma(s.in);
  float lt = Constant(s.in), vlt = Constant(s.in), gt = Constant(s.in), vgt = Constant(s.in);
  if (s.in.Bool()) gt = lt;  // the correction's mask
  if (viewA && s.before[a].count == 0) return;
  const Operand o = viewA ? Plane0(s.before[a]) : Whole(s.before[a]);
  const Snapshot& t = s.before[d];
  Expect e;
  if (!RecordDestination(t, into, o.count, e)) return;
  // The blur runs over the source's planes, threshold and log over the
  // destination's, which the source must cover.
  const int planes = which == 0 ? o.count : into == Into::View ? 1 : e.count;
  if (planes > o.count) return;
  // A blur sizes its work buffer for the destination's region, which an
  // image that never had planes does not have: it throws NO_MEMORY_ERROR.
  if (which == 0 && o.count == 0) return;
  p = Planned{which == 0 ? "Blurred_R" : which == 1 ? "Threshold" : "Log", d, e, false};
  for (int i = 0; i < planes; ++i) {
    if (which == 0) SetFiltered(p.expect, i, Blur(*o.planes[i], sigma));
    if (which == 1 && !(lt > gt)) {
      SetExact(p.expect, i, *o.planes[i], [&](float x) { return Threshold(x, lt, vlt, gt, vgt); });
    }
    if (which == 2) SetClose(p.expect, i, *o.planes[i], LnOf);
  }
  KoImage va = viewA ? s.Slot(a).Layer1() : KoImage();
  const KoImage& A = viewA ? va : s.Slot(a);
  if (which == 0) Deliver(s, d, into, A.Blurred_R(sigma));
  if (which == 1) Deliver(s, d, into, A.Threshold(lt, vlt, gt, vgt));
  if (which == 2) Deliver(s, d, into, A.Log());
}

// The destination's expectation for the multi-step records, which never
// write into their own operands here: an empty or constructed destination
// gets the first operand's count, one with planes must have at least it.
bool SeparateDestination(State& s, int d, bool construct, int count, Expect& e) {
  const Snapshot& t = construct ? Snapshot{} : s.before[d];
  if (t.count != 0 && t.count < count) return false;
  e = Destination(t, count);
  return true;
}

template <class Record>
void DeliverSeparate(State& s, int d, bool construct, const Record& record) {
  if (construct) {
    s.slots[d] = std::make_unique<KoImage>(record);
  } else {
    s.Slot(d) = record;
  }
}

// 2 * image1 + image2 - 1 over the destination's planes.
void Blend(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot(), b = s.PickSlot();
  const bool construct = s.in.Bool();
  const float value = s.in.Float();
  const Snapshot& A = s.before[a];
  const Snapshot& B = s.before[b];
  const Snapshot& t = construct ? Snapshot{} : s.before[d];
  Expect e;
  if ((!construct && (d == b || d == a)) || !SeparateDestination(s, d, construct, A.count, e) ||
      B.count > e.count) {
    return;
  }
  p = Planned{"BlendMode", d, e, false};
  for (int i = 0; i < e.count; ++i) {
    PlaneExpect& pe = p.expect.planes[i];
    pe.kind = PlaneExpect::Exact;
    pe.v.clear();
    for (std::size_t k = 0; k < static_cast<std::size_t>(gWidth) * gHeight; ++k) {
      float x = i < A.count ? A.planes[i][k] * 2.0f : t.planes[i][k];
      if (i < B.count) x = x + B.planes[i][k];
      pe.v.push_back(x - 1.0f);
    }
  }
  DeliverSeparate(s, d, construct, BlendMode(s.Slot(a), s.Slot(b), value));
}

// The separable filter with a kernel that stays within its frame.
void SeparableFilter(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const bool construct = s.in.Bool();
  static float taps[7];
  Kernel kernel;
  kernel.anchor = s.in.Range(0, 3);
  kernel.kernelSize = s.in.Range(1, 2 * kernel.anchor + 1);
  for (float& t : taps) t = s.in.Byte() % 8 == 0 ? s.in.Float() : s.in.Between(-1.0f, 1.0f);
  kernel.taps = taps;
  const Snapshot& S = s.before[a];
  Expect e;
  if ((!construct && d == a) || !SeparateDestination(s, d, construct, S.count, e)) return;
  p = Planned{"Filter", d, e, false};
  const std::vector<double> k(taps, taps + kernel.kernelSize);
  for (int i = 0; i < S.count; ++i) {
    SetFiltered(p.expect, i,
                fuzz::SeparableReplicate(gWidth, gHeight, k, kernel.anchor, [&](int x, int y) {
                  return S.planes[i][static_cast<std::size_t>(y) * gWidth + x];
                }));
  }
  DeliverSeparate(s, d, construct, s.Slot(a).Filter(kernel));
}

// 0.5 + 0.5 * (S - blur(S)) on the source's planes; the destination's
// other planes become 0.5 * (1 - x).
void HighPass(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const bool construct = s.in.Bool();
  const float sigma = Sigma(s.in);
  const Snapshot& S = s.before[a];
  const Snapshot& t = construct ? Snapshot{} : s.before[d];
  Expect e;
  if ((!construct && d == a) || S.count == 0 || !SeparateDestination(s, d, construct, S.count, e)) {
    return;  // (no planes: see the blur record)
  }
  p = Planned{"HighPassFilter", d, e, false};
  for (int i = 0; i < e.count; ++i) {
    if (i < S.count) {
      SetFiltered(p.expect, i, Blur(S.planes[i], sigma), &S.planes[i]);
    } else {
      SetExact(p.expect, i, t.planes[i], [](float x) { return (x * -1.0f + 1.0f) * 0.5f; });
    }
  }
  DeliverSeparate(s, d, construct, s.Slot(a).HighPassFilter(sigma));
}

// (v(S) - v(0)) / (v(1) - v(0)) with v the logistic of slope c and
// midpoint m, evaluated in the record's steps.
void Sigmoid(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const bool construct = s.in.Bool();
  const float c = (s.in.Bool() ? 1.0f : -1.0f) * s.in.Between(0.5f, 30.0f);
  const float m = s.in.Between(-1.0f, 2.0f);
  const Snapshot& S = s.before[a];
  const Snapshot& t = construct ? Snapshot{} : s.before[d];
  Expect e;
  if ((!construct && d == a) || S.count == 0 || !SeparateDestination(s, d, construct, S.count, e)) {
    return;
  }
  if (S.count > 1 && t.count > S.count) return;  // extra planes take a partial curve
  p = Planned{"SigmoidalCurve_R", d, e, false};
  const float lo = static_cast<float>(1.0 / (1.0 + std::exp(static_cast<double>(m * c))));
  const float hi =
      static_cast<float>(1.0 / (1.0 + std::exp(static_cast<double>((1.0f - m) * (0.0f - c)))));
  const float range = hi - lo;
  for (int i = 0; i < S.count; ++i) {
    SetClose(p.expect, i, S.planes[i], [&](float x) {
      const float power = (x - m) * (0.0f - c);
      const float v = 1.0f / (static_cast<float>(fuzz::ContractExp(power)) + 1.0f);
      // A range of 0 is refused by the division, which leaves v - lo.
      const float divisor = range == 0.0f ? 1.0f : range;
      const double r = (v - lo) * (1.0f / divisor);
      // The exponential's error, carried through the reciprocal and the
      // division by the range.
      return std::make_pair(
          r, (2e-5 * std::fabs(v) + 1e-6) / std::fabs(divisor) + 1e-5 * std::fabs(r));
    });
  }
  DeliverSeparate(s, d, construct, s.Slot(a).SigmoidalCurve_R(c, m));
}

// Copy construction, copy assignment (into an image or a view), Init and
// Expend.
void Storage(State& s, Planned& p) {
  const int d = s.PickSlot(), a = s.PickSlot();
  const int which = s.in.Byte() % 5;
  const bool viewA = s.in.Bool();
  const Snapshot& t = s.before[d];
  if (viewA && s.before[a].count == 0) return;
  const Operand o = viewA ? Plane0(s.before[a]) : Whole(s.before[a]);
  KoImage va = viewA ? s.Slot(a).Layer1() : KoImage();
  const KoImage& A = viewA ? va : s.Slot(a);
  switch (which) {
    case 0: {  // copy construction
      p = Planned{"copy", d, Destination(Snapshot{}, o.count), false};
      for (int i = 0; i < o.count; ++i)
        SetExact(p.expect, i, *o.planes[i], [](float x) { return x; });
      s.slots[d] = std::make_unique<KoImage>(A);
      return;
    }
    case 1:
    case 2: {  // operator=, into the image or into a view of its plane 0
      const Into into = which == 1 ? Into::Assign : Into::View;
      Expect e;
      if (!RecordDestination(t, into, o.count, e)) return;
      p = Planned{"operator=", d, e, false};
      for (int i = 0; i < o.count; ++i)
        SetExact(p.expect, i, *o.planes[i], [](float x) { return x; });
      if (into == Into::View) {
        s.Slot(d).Layer1() = A;
      } else {
        s.Slot(d) = A;
      }
      return;
    }
    case 3:  // Init of an empty image
      if (t.count != 0) return;
      p = Planned{"Init", d, Destination(t, o.count), false};
      s.Slot(d).Init(A);
      return;
    default: {  // Expend of an image with planes
      if (t.count == 0 || o.count < t.count) return;
      p = Planned{"Expend", d, Destination(t, 0), false};
      p.expect.count = o.count;
      p.expect.planes.resize(static_cast<std::size_t>(o.count),
                             PlaneExpect{PlaneExpect::Unspecified, {}, {}});
      s.Slot(d).Expend(A);
      return;
    }
  }
}

// A new image of 0 to 4 planes, filled, or an empty one.
void Fresh(State& s, Planned& p) {
  const int d = s.PickSlot();
  const int count = s.in.Range(0, 4);
  p = Planned{"fresh image", d, Expect{}, true};
  if (s.in.Byte() % 4 == 0) {
    s.slots[d] = std::make_unique<KoImage>();
    return;
  }
  auto image = std::make_unique<KoImage>(IppiSize{gWidth, gHeight}, count);
  Fill(*image, s.in);
  s.slots[d] = std::move(image);
}

using Operation = void (*)(State&, Planned&);
const Operation kOperations[] = {InPlaceConstant,
                                 InPlaceImage,
                                 InPlaceFunction,
                                 NumberRecord,
                                 ImageRecord,
                                 ColorTwist,
                                 FilterRecord,
                                 Blend,
                                 SeparableFilter,
                                 HighPass,
                                 Sigmoid,
                                 Storage,
                                 Fresh};

void ExpectLedgerClean(const char* when) {
  IppAllocLedger ledger;
  ippTestGetLedger(&ledger);
  FUZZ_CHECK(ledger.livePlanes == 0 && ledger.liveBuffers == 0 && ledger.badFrees == 0,
             "%s: %lld planes and %lld buffers live, %lld bad frees", when, ledger.livePlanes,
             ledger.liveBuffers, ledger.badFrees);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ExpectLedgerClean("before the input");
  ippTestResetLedger();
  Input in(data, size);
  gWidth = in.Range(1, 20);
  gHeight = in.Range(1, 12);
  {
    State s(in);
    for (auto& slot : s.slots) {
      slot = std::make_unique<KoImage>(IppiSize{gWidth, gHeight}, in.Range(0, 3));
      Fill(*slot, in);
    }
    for (int n = 0; n < 24 && !in.Empty(); ++n) {
      const Operation op = kOperations[in.Byte() % (sizeof kOperations / sizeof kOperations[0])];
      // Now and then one of the operation's allocations fails.
      const long long failAt = in.Byte() % 8 == 0 ? in.Range(1, 4) : 0;
      for (int i = 0; i < kSlots; ++i) s.before[i] = Take(s.Slot(i));

      Planned p;
      bool threw = false;
      ippTestFailAllocation(failAt, 0);
      try {
        op(s, p);
      } catch (const NO_MEMORY_ERROR&) {
        threw = true;
      }
      ippTestFailAllocation(0, 0);
      FUZZ_CHECK(!threw || failAt != 0, "%s threw NO_MEMORY_ERROR with memory to spare", p.name);

      for (int i = 0; i < kSlots; ++i) {
        if (i == p.dest) continue;
        // A failed construction leaves the slot's old image in place.
        CheckUntouched(s.Slot(i), s.before[i], i, p.name);
      }
      if (p.dest < 0 || p.skip) continue;
      if (threw) {
        // The image keeps what it had or what the failing step left in
        // place; either way every plane it holds is a live one.
        const KoImage& image = s.Slot(p.dest);
        for (int i = 0; i < image.numLayers && image.ownsLayers; ++i)
          FUZZ_CHECK(image.layers[i] != nullptr, "%s: plane %d null after a failure", p.name, i);
        continue;
      }
      Check(s.Slot(p.dest), s.before[p.dest], p.expect, p.name);
    }
  }
  ExpectLedgerClean("after the input");
  return 0;
}
