// Random calls of every image primitive: random regions, steps (refused
// ones included), null planes, aliasing where the contract allows it, and
// values. Checks that a call is refused (negative status) exactly when the
// contract says so, that a refused call writes nothing, that an accepted
// call writes nothing but its destination's region and there the values a
// plain scalar evaluation gives, and that sources stay as they were.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "FilterReference.h"
#include "FuzzSupport.h"
#include "ipp.h"

namespace {

using fuzz::Input;
using fuzz::Pass;
using fuzz::RefPlane;
using fuzz::SourceTerm;
using fuzz::Term;

constexpr int kGuardBytes = 32;  // pattern before and after every buffer
constexpr std::uint8_t kPattern = 0xE5;

// A plane buffer allocated at exactly its bytes, so that AddressSanitizer
// sees any access past it, with pattern bytes at both ends and between the
// rows that a stray write would change. Pixels (x, y) with x in [cLo, cHi]
// and y in [rLo, rHi], relative to First(), are filled from the input.
class Buffer {
 public:
  Buffer(int step, int rLo, int rHi, int cLo, int cHi, Input& in) : step_(step) {
    const std::int64_t stepPos = std::max(step, 0);
    const std::int64_t cols = cHi - cLo + 1;
    const int misalign = in.Range(0, 15);  // floats: rows need not be 64-byte aligned
    origin_ = kGuardBytes + 4 * misalign - rLo * stepPos - cLo * 4;
    size_ = static_cast<std::size_t>(kGuardBytes + 4 * misalign + (rHi - rLo) * stepPos + 4 * cols +
                                     kGuardBytes);
    bytes_.reset(new std::uint8_t[size_]);
    std::memset(bytes_.get(), kPattern, size_);
    if (step > 0) {
      for (int y = rLo; y <= rHi; ++y)
        for (int x = cLo; x <= cHi; ++x) {
          const float v = in.Float();
          std::memcpy(bytes_.get() + Offset(x, y), &v, 4);
        }
    }
    before_.assign(bytes_.get(), bytes_.get() + size_);
  }

  float* First() { return reinterpret_cast<float*>(bytes_.get() + origin_); }
  int Step() const { return step_; }

  float Before(int x, int y) const { return Read(before_.data(), x, y); }
  float After(int x, int y) const { return Read(bytes_.get(), x, y); }

  // Every byte but those of pixels (0..w-1, 0..h-1) as it was; w = 0 for
  // every byte.
  void ExpectUntouchedOutside(int w, int h, const char* what) const {
    std::vector<bool> mayChange(size_, false);
    if (w > 0 && step_ > 0) {
      for (int y = 0; y < h; ++y)
        for (int b = 0; b < 4 * w; ++b)
          mayChange[static_cast<std::size_t>(Offset(0, y) + b)] = true;
    }
    for (std::size_t i = 0; i < size_; ++i) {
      FUZZ_CHECK(mayChange[i] || bytes_[i] == before_[i],
                 "%s: byte %zu of %zu (first pixel at %lld, step %d) written outside the region "
                 "%d x %d",
                 what, i, size_, static_cast<long long>(origin_), step_, w, h);
    }
  }

 private:
  std::int64_t Offset(int x, int y) const {
    return origin_ + static_cast<std::int64_t>(y) * step_ + 4 * static_cast<std::int64_t>(x);
  }
  float Read(const std::uint8_t* base, int x, int y) const {
    float v;
    std::memcpy(&v, base + Offset(x, y), 4);
    return v;
  }

  int step_;
  std::int64_t origin_ = 0;
  std::size_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::vector<std::uint8_t> before_;
};

// The buffers of one call and which of them is written.
struct Call {
  std::vector<std::unique_ptr<Buffer>> buffers;
  std::vector<const Buffer*> written;

  Buffer* Add(int step, int rLo, int rHi, int cLo, int cHi, Input& in) {
    buffers.push_back(std::make_unique<Buffer>(step, rLo, rHi, cLo, cHi, in));
    return buffers.back().get();
  }
  Buffer* Plane(int step, IppiSize roi, Input& in) {
    return Add(step, 0, std::max(roi.height, 1) - 1, 0, std::max(roi.width, 1) - 1, in);
  }

  // The refused call wrote nothing; the accepted one only its destinations'
  // regions.
  void ExpectOnlyRegionsWritten(bool accepted, IppiSize roi, const char* what) const {
    for (const auto& b : buffers) {
      const bool isDst = std::find(written.begin(), written.end(), b.get()) != written.end();
      if (accepted && isDst) {
        b->ExpectUntouchedOutside(roi.width, roi.height, what);
      } else {
        b->ExpectUntouchedOutside(0, 0, what);
      }
    }
  }
};

// A region: mostly 1..70 wide (every remainder of a vector width) and a few
// rows; sometimes empty or negative.
IppiSize PickRegion(Input& in) {
  switch (in.Byte() % 16) {
    case 0:
      return {in.Range(-2, 0), in.Range(-1, 4)};
    case 1:
      return {in.Range(1, 8), in.Range(-2, 0)};
    default:
      return {in.Range(1, 70), in.Range(1, 6)};
  }
}

// A step in bytes for rows of `pixels` floats: packed or padded (valid),
// shorter than a row (overlapping rows: accepted unless a primitive says
// otherwise) or below 1 (refused). Steps are whole floats: the row kernels
// read and write floats in place, which a step that is not a multiple of 4
// bytes would misalign (no caller makes one).
int PickStep(Input& in, std::int64_t pixels) {
  const int packed = static_cast<int>(4 * std::max<std::int64_t>(pixels, 1));
  switch (in.Byte() % 16) {
    case 0:
      return in.Pick({0, -4, -packed, INT32_MIN});
    case 1:
      return packed > 4 ? 4 * in.Range(1, packed / 4 - 1) : packed;
    default:
      return packed + 4 * in.Pick({0, 0, 1, 3, 5, 16});
  }
}

// Which pointer argument, if any, is passed null: bit i for argument i of
// `count`, one in sixteen calls.
unsigned PickNull(Input& in, int count) {
  return in.Byte() % 16 == 0 ? 1u << in.Range(0, count - 1) : 0u;
}

bool RegionOk(IppiSize roi) { return roi.width >= 1 && roi.height >= 1; }

// Rows of `step` bytes hold `pixels` floats without overlapping.
bool Disjoint(int step, std::int64_t pixels) { return step >= 4 * pixels; }

void ExpectStatus(IppStatus status, bool refused, const char* what) {
  FUZZ_CHECK(refused ? status < 0 : status == ippStsNoErr, "%s: status %d where the call is %s",
             what, status, refused ? "refused" : "accepted");
}

// --- Point-wise primitives ------------------------------------------------------------

struct Constants {
  float v, lt, vlt, gt, vgt;
};

enum class Accuracy { Exact, Divide, Exp, Ln };

bool Matches(Accuracy accuracy, float source, double expected, float actual) {
  switch (accuracy) {
    case Accuracy::Exact:
      return fuzz::Same(static_cast<float>(expected), actual);
    case Accuracy::Divide:
      return fuzz::Near(expected, actual, fuzz::RelativeTolerance(expected, 2.4e-7, 1e-45));
    case Accuracy::Exp:
      return fuzz::NearExp(source, actual);
    case Accuracy::Ln:
      return fuzz::NearLn(source, actual);
  }
  return false;
}

// One source plane to one destination plane; in-place forms ignore src.
struct UnaryOp {
  const char* name;
  bool inPlace;
  IppStatus (*call)(const float* src, int srcStep, float* dst, int dstStep, IppiSize roi,
                    const Constants& c);
  double (*expect)(float x, const Constants& c);
  Accuracy accuracy;
  bool (*refuses)(const Constants& c);  // beyond null planes, regions and steps
};

bool Never(const Constants&) { return false; }
bool ZeroDivisor(const Constants& c) { return c.v == 0.0f; }
bool LowAboveHigh(const Constants& c) { return c.lt > c.gt; }
// x < lt (or NaN) gives vlt, else x > gt gives vgt, else x.
double Threshold(float x, const Constants& c) {
  if (x < c.lt || std::isnan(x)) return c.vlt;
  return x > c.gt ? c.vgt : x;
}
// Divides by multiplying with the float reciprocal.
double TimesReciprocal(float x, const Constants& c) { return x * (1.0f / c.v); }

const UnaryOp kUnaryOps[] = {
    {"Copy", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants&) {
       return ippiCopy_32f_C1R(s, ss, d, ds, r);
     },
     [](float x, const Constants&) { return double(x); }, Accuracy::Exact, Never},
    {"AddC_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiAddC_32f_C1IR(c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x + c.v); }, Accuracy::Exact, Never},
    {"SubC_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiSubC_32f_C1IR(c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x - c.v); }, Accuracy::Exact, Never},
    {"MulC_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiMulC_32f_C1IR(c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x * c.v); }, Accuracy::Exact, Never},
    {"DivC_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiDivC_32f_C1IR(c.v, d, ds, r);
     },
     TimesReciprocal, Accuracy::Exact, ZeroDivisor},
    {"AddC", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiAddC_32f_C1R(s, ss, c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x + c.v); }, Accuracy::Exact, Never},
    {"SubC", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiSubC_32f_C1R(s, ss, c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x - c.v); }, Accuracy::Exact, Never},
    {"MulC", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiMulC_32f_C1R(s, ss, c.v, d, ds, r);
     },
     [](float x, const Constants& c) { return double(x * c.v); }, Accuracy::Exact, Never},
    {"DivC", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiDivC_32f_C1R(s, ss, c.v, d, ds, r);
     },
     TimesReciprocal, Accuracy::Exact, ZeroDivisor},
    {"Exp_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants&) {
       return ippiExp_32f_C1IR(d, ds, r);
     },
     [](float x, const Constants&) { return fuzz::ContractExp(x); }, Accuracy::Exp, Never},
    {"Ln_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants&) {
       return ippiLn_32f_C1IR(d, ds, r);
     },
     [](float x, const Constants&) { return std::log(double(x)); }, Accuracy::Ln, Never},
    {"Ln", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants&) {
       return ippiLn_32f_C1R(s, ss, d, ds, r);
     },
     [](float x, const Constants&) { return std::log(double(x)); }, Accuracy::Ln, Never},
    {"Threshold_I", true,
     [](const float*, int, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiThreshold_LTValGTVal_32f_C1IR(d, ds, r, c.lt, c.vlt, c.gt, c.vgt);
     },
     Threshold, Accuracy::Exact, LowAboveHigh},
    {"Threshold", false,
     [](const float* s, int ss, float* d, int ds, IppiSize r, const Constants& c) {
       return ippiThreshold_LTValGTVal_32f_C1R(s, ss, d, ds, r, c.lt, c.vlt, c.gt, c.vgt);
     },
     Threshold, Accuracy::Exact, LowAboveHigh},
};

void FuzzUnary(Input& in) {
  const UnaryOp& op = kUnaryOps[in.Byte() % (sizeof kUnaryOps / sizeof kUnaryOps[0])];
  const IppiSize roi = PickRegion(in);
  Constants c{in.Float(), in.Float(), in.Float(), in.Float(), in.Float()};
  if (in.Bool()) c.gt = c.lt + std::fabs(in.Between(0.0f, 2.0f));  // mostly a usable pair

  Call call;
  Buffer* dst = call.Plane(PickStep(in, roi.width), roi, in);
  Buffer* src =
      op.inPlace || in.Byte() % 4 == 0 ? dst : call.Plane(PickStep(in, roi.width), roi, in);
  call.written.push_back(dst);
  const unsigned nulls = PickNull(in, 2);
  const bool nullSrc = nulls & 1, nullDst = nulls & 2;

  const IppStatus status = op.call(nullSrc ? nullptr : src->First(), src->Step(),
                                   nullDst ? nullptr : dst->First(), dst->Step(), roi, c);
  const bool refused = nullDst || (!op.inPlace && nullSrc) || !RegionOk(roi) || src->Step() < 1 ||
                       dst->Step() < 1 || op.refuses(c);
  ExpectStatus(status, refused, op.name);
  call.ExpectOnlyRegionsWritten(!refused, roi, op.name);
  if (refused || !Disjoint(dst->Step(), roi.width)) return;
  for (int y = 0; y < roi.height; ++y)
    for (int x = 0; x < roi.width; ++x) {
      const float s = src->Before(x, y);
      const float a = dst->After(x, y);
      FUZZ_CHECK(Matches(op.accuracy, s, op.expect(s, c), a),
                 "%s at (%d, %d) of %d x %d: %a (c %a) gave %a, expected about %a", op.name, x, y,
                 roi.width, roi.height, s, c.v, a, op.expect(s, c));
    }
}

// Two sources: dst = src2 op src1, the first source being the subtrahend and
// the divisor; in-place forms write the second.
struct BinaryOp {
  const char* name;
  bool inPlace;
  IppStatus (*call)(const float* s1, int st1, const float* s2, int st2, float* d, int dst,
                    IppiSize roi);
  float (*expect)(float s1, float s2);
  Accuracy accuracy;
};

const BinaryOp kBinaryOps[] = {
    {"Add_I", true,
     [](const float* s1, int st1, const float*, int, float* d, int dst, IppiSize r) {
       return ippiAdd_32f_C1IR(s1, st1, d, dst, r);
     },
     [](float a, float b) { return b + a; }, Accuracy::Exact},
    {"Sub_I", true,
     [](const float* s1, int st1, const float*, int, float* d, int dst, IppiSize r) {
       return ippiSub_32f_C1IR(s1, st1, d, dst, r);
     },
     [](float a, float b) { return b - a; }, Accuracy::Exact},
    {"Mul_I", true,
     [](const float* s1, int st1, const float*, int, float* d, int dst, IppiSize r) {
       return ippiMul_32f_C1IR(s1, st1, d, dst, r);
     },
     [](float a, float b) { return b * a; }, Accuracy::Exact},
    {"Add", false, ippiAdd_32f_C1R, [](float a, float b) { return b + a; }, Accuracy::Exact},
    {"Sub", false, ippiSub_32f_C1R, [](float a, float b) { return b - a; }, Accuracy::Exact},
    {"Mul", false, ippiMul_32f_C1R, [](float a, float b) { return b * a; }, Accuracy::Exact},
    {"Div", false, ippiDiv_32f_C1R, [](float a, float b) { return b / a; }, Accuracy::Divide},
};

void FuzzBinary(Input& in) {
  const BinaryOp& op = kBinaryOps[in.Byte() % (sizeof kBinaryOps / sizeof kBinaryOps[0])];
  const IppiSize roi = PickRegion(in);
  Call call;
  Buffer* src1 = call.Plane(PickStep(in, roi.width), roi, in);
  Buffer* src2 = call.Plane(PickStep(in, roi.width), roi, in);
  // Aliasing: the destination may be either source (the in-place forms'
  // destination is the second), and the sources may be one plane.
  const int alias = in.Byte() % 8;
  if (alias == 1) src2 = src1;
  Buffer* dst = src2;
  if (!op.inPlace && alias != 3) {
    dst = alias == 2 ? src1 : call.Plane(PickStep(in, roi.width), roi, in);
  }
  call.written.push_back(dst);
  const unsigned nulls = PickNull(in, 3);

  const IppStatus status = op.call(nulls & 1 ? nullptr : src1->First(), src1->Step(),
                                   nulls & 2 ? nullptr : src2->First(), src2->Step(),
                                   nulls & 4 ? nullptr : dst->First(), dst->Step(), roi);
  const bool refused = (nulls & (op.inPlace ? 5 : 7)) != 0 || !RegionOk(roi) || src1->Step() < 1 ||
                       src2->Step() < 1 || dst->Step() < 1;
  ExpectStatus(status, refused, op.name);
  call.ExpectOnlyRegionsWritten(!refused, roi, op.name);
  if (refused || !Disjoint(dst->Step(), roi.width)) return;
  for (int y = 0; y < roi.height; ++y)
    for (int x = 0; x < roi.width; ++x) {
      const float a = src1->Before(x, y), b = src2->Before(x, y);
      const float got = dst->After(x, y);
      FUZZ_CHECK(Matches(op.accuracy, a, op.expect(a, b), got),
                 "%s at (%d, %d): %a, %a gave %a, expected %a", op.name, x, y, a, b, got,
                 op.expect(a, b));
    }
}

void FuzzDivCRev(Input& in) {
  const int len = in.Range(-2, 70);
  const float value = in.Float();
  Call call;
  Buffer* b = call.Add(4 * std::max(len, 1), 0, 0, 0, std::max(len, 1) - 1, in);
  call.written.push_back(b);
  const bool null = in.Byte() % 16 == 0;
  const IppStatus status = ippsDivCRev_32f_I(value, null ? nullptr : b->First(), len);
  const bool refused = null || len < 1;
  ExpectStatus(status, refused, "DivCRev");
  call.ExpectOnlyRegionsWritten(!refused, {len, 1}, "DivCRev");
  if (refused) return;
  for (int x = 0; x < len; ++x) {
    const double e = value / b->Before(x, 0);
    FUZZ_CHECK(Matches(Accuracy::Divide, 0, e, b->After(x, 0)), "DivCRev at %d: %a / %a gave %a", x,
               value, b->Before(x, 0), b->After(x, 0));
  }
}

// --- Colour twist -------------------------------------------------------------------

void FuzzColorTwist(Input& in) {
  const IppiSize roi = PickRegion(in);
  const bool inPlace = in.Byte() % 4 == 0;  // the contract allows it
  const int srcStep = PickStep(in, roi.width);
  const int dstStep = inPlace ? srcStep : PickStep(in, roi.width);
  float twist[3][4];
  for (auto& row : twist)
    for (float& t : row) t = in.Byte() % 8 == 0 ? in.Float() : in.Between(-2.0f, 2.0f);
  Call call;
  Buffer* src[3];
  Buffer* dst[3];
  for (Buffer*& b : src) b = call.Plane(srcStep, roi, in);
  for (int c = 0; c < 3; ++c) {
    dst[c] = inPlace ? src[c] : call.Plane(dstStep, roi, in);
    call.written.push_back(dst[c]);
  }
  const unsigned nulls = PickNull(in, 7);  // bits 0-5: a plane; bit 6: the matrix
  const float* srcPlanes[3];
  float* dstPlanes[3];
  for (int c = 0; c < 3; ++c) {
    srcPlanes[c] = nulls & (1 << c) ? nullptr : src[c]->First();
    dstPlanes[c] = nulls & (8 << c) ? nullptr : dst[c]->First();
  }
  const IppStatus status = ippiColorTwist_32f_P3R(srcPlanes, srcStep, dstPlanes, dstStep, roi,
                                                  nulls & 64 ? nullptr : twist);
  const bool refused = nulls != 0 || !RegionOk(roi) || srcStep < 1 || dstStep < 1;
  ExpectStatus(status, refused, "ColorTwist");
  call.ExpectOnlyRegionsWritten(!refused, roi, "ColorTwist");
  if (refused || !Disjoint(dstStep, roi.width)) return;
  for (int y = 0; y < roi.height; ++y)
    for (int x = 0; x < roi.width; ++x)
      for (int c = 0; c < 3; ++c) {
        double e = twist[c][3], scale = std::fabs(twist[c][3]);
        for (int i = 0; i < 3; ++i) {
          e += double(twist[c][i]) * src[i]->Before(x, y);
          scale += std::fabs(double(twist[c][i]) * src[i]->Before(x, y));
        }
        if (!std::isfinite(scale) || scale > 1e30) continue;  // float overflow is order-dependent
        FUZZ_CHECK(fuzz::Near(e, dst[c]->After(x, y), 1e-5 * scale + 1e-37),
                   "ColorTwist plane %d at (%d, %d): %a, expected %a", c, x, y, dst[c]->After(x, y),
                   e);
      }
}

// --- Filters --------------------------------------------------------------------------

void ExpectFiltered(const Buffer& dst, const RefPlane& expected, const char* what) {
  if (!expected.ok) return;
  for (int y = 0; y < expected.h; ++y)
    for (int x = 0; x < expected.w; ++x) {
      const Term& e = expected.At(x, y);
      if (!fuzz::Comparable(e)) continue;
      FUZZ_CHECK(fuzz::Near(e.v, dst.After(x, y), fuzz::Tolerance(e)),
                 "%s at (%d, %d) of %d x %d: %a, expected %a", what, x, y, expected.w, expected.h,
                 dst.After(x, y), e.v);
    }
}

void FuzzGauss(Input& in) {
  const IppiSize roi = PickRegion(in);
  int k = 0;
  switch (in.Byte() % 8) {
    case 0:
      k = in.Range(-3, 4);  // refused below 3 and when even
      break;
    case 1:
      k = 2 * in.Range(0, 600) + 1;  // far larger than the region
      break;
    default:
      k = 2 * in.Range(1, 12) + 1 + (in.Byte() % 8 == 0);  // sometimes even
  }
  const float sigma = in.Byte() % 4 == 0 ? in.Float() : in.Between(0.05f, 6.0f);
  const IppiBorderType border = in.Byte() % 16 == 0 ? ippBorderConst : ippBorderRepl;

  int bytes = -7;
  const bool nullSize = in.Byte() % 32 == 0;
  const IppStatus sizeStatus =
      ippiFilterGaussGetBufferSize_32f_C1R(roi, k, nullSize ? nullptr : &bytes);
  const bool badKernel = !RegionOk(roi) || k < 3 || k % 2 == 0;
  ExpectStatus(sizeStatus, badKernel || nullSize, "FilterGaussGetBufferSize");
  FUZZ_CHECK(sizeStatus == ippStsNoErr ? bytes > 0 : bytes == -7,
             "FilterGaussGetBufferSize: size %d after status %d", bytes, sizeStatus);
  if (nullSize) return;

  Call call;
  Buffer* src = call.Plane(PickStep(in, roi.width), roi, in);
  Buffer* dst = in.Byte() % 4 == 0 ? src : call.Plane(PickStep(in, roi.width), roi, in);
  call.written.push_back(dst);
  // The work buffer at exactly the size asked for.
  std::vector<Ipp8u> work(sizeStatus == ippStsNoErr ? static_cast<std::size_t>(bytes) : 16);
  const unsigned nulls = PickNull(in, 3);  // src, dst, buffer
  const IppStatus status = ippiFilterGaussBorder_32f_C1R(
      nulls & 1 ? nullptr : src->First(), src->Step(), nulls & 2 ? nullptr : dst->First(),
      dst->Step(), roi, k, sigma, border, 0.0f, nulls & 4 ? nullptr : work.data());
  const bool refused = (nulls & 7) != 0 || badKernel || src->Step() < 1 || dst->Step() < 1 ||
                       !(sigma > 0.0f) || border != ippBorderRepl;
  ExpectStatus(status, refused, "FilterGaussBorder");
  call.ExpectOnlyRegionsWritten(!refused, roi, "FilterGaussBorder");
  if (refused || !Disjoint(dst->Step(), roi.width)) return;

  ExpectFiltered(*dst,
                 fuzz::SeparableReplicate(roi.width, roi.height, fuzz::GaussTaps(k, sigma), k / 2,
                                          [&](int x, int y) { return src->Before(x, y); }),
                 "FilterGaussBorder");
}

void FuzzReplicateBorder(Input& in) {
  const IppiSize srcRoi = PickRegion(in);
  const int top = in.Range(-1, 4), left = in.Range(-1, 4);
  IppiSize dstRoi = {srcRoi.width + left + in.Range(-1, 4), srcRoi.height + top + in.Range(-1, 4)};
  if (in.Byte() % 16 == 0) dstRoi = PickRegion(in);
  Call call;
  Buffer* src = call.Plane(PickStep(in, srcRoi.width), srcRoi, in);
  Buffer* dst = call.Plane(PickStep(in, dstRoi.width), dstRoi, in);
  call.written.push_back(dst);
  const unsigned nulls = PickNull(in, 2);
  const IppStatus status = ippiCopyReplicateBorder_32f_C1R(
      nulls & 1 ? nullptr : src->First(), src->Step(), srcRoi, nulls & 2 ? nullptr : dst->First(),
      dst->Step(), dstRoi, top, left);
  const bool refused = (nulls & 3) != 0 || !RegionOk(srcRoi) || !RegionOk(dstRoi) ||
                       src->Step() < 1 || dst->Step() < 1 || top < 0 || left < 0 ||
                       dstRoi.width < left + srcRoi.width || dstRoi.height < top + srcRoi.height;
  ExpectStatus(status, refused, "CopyReplicateBorder");
  call.ExpectOnlyRegionsWritten(!refused, dstRoi, "CopyReplicateBorder");
  if (refused || !Disjoint(dst->Step(), dstRoi.width)) return;
  for (int y = 0; y < dstRoi.height; ++y)
    for (int x = 0; x < dstRoi.width; ++x) {
      const float e = src->Before(std::clamp(x - left, 0, srcRoi.width - 1),
                                  std::clamp(y - top, 0, srcRoi.height - 1));
      FUZZ_CHECK(fuzz::Same(e, dst->After(x, y)),
                 "CopyReplicateBorder at (%d, %d): %a, expected %a", x, y, dst->After(x, y), e);
    }
}

// Row (or column) convolution: out = sum over i of taps[i] * src at
// position + anchor - i along the row (column). The source buffer holds
// every pixel the contract says the filter reads, and no more.
void FuzzRowColumnFilter(Input& in, bool rows) {
  const char* what = rows ? "FilterRow" : "FilterColumn";
  const IppiSize roi = PickRegion(in);
  const int k = in.Byte() % 16 == 0 ? in.Range(-1, 0) : in.Range(1, 9);
  const int anchor = in.Range(-2, std::max(k, 0) + 1);
  std::vector<float> taps(static_cast<std::size_t>(std::max(k, 1)));
  for (float& t : taps) t = in.Byte() % 8 == 0 ? in.Float() : in.Between(-1.0f, 1.0f);

  // Positions read along the filtered direction, relative to the output's.
  const int lo = std::min(0, anchor - std::max(k, 1) + 1);
  const int extent = rows ? roi.width : roi.height;
  const int hi = std::max(extent - 1, extent - 1 + anchor);
  Call call;
  Buffer* src = nullptr;
  if (rows) {
    const int needed = std::max(roi.width, 1) + std::max(k, 1) - 1;
    src = call.Add(PickStep(in, needed), 0, std::max(roi.height, 1) - 1, lo, std::max(hi, 0), in);
  } else {
    src = call.Add(PickStep(in, roi.width), lo, std::max(hi, 0), 0, std::max(roi.width, 1) - 1, in);
  }
  Buffer* dst = call.Plane(PickStep(in, roi.width), roi, in);
  call.written.push_back(dst);
  const unsigned nulls = PickNull(in, 3);  // src, dst, taps
  const float* s = nulls & 1 ? nullptr : src->First();
  float* d = nulls & 2 ? nullptr : dst->First();
  const float* t = nulls & 4 ? nullptr : taps.data();
  const IppStatus status =
      rows ? ippiFilterRow_32f_C1R(s, src->Step(), d, dst->Step(), roi, t, k, anchor)
           : ippiFilterColumn_32f_C1R(s, src->Step(), d, dst->Step(), roi, t, k, anchor);
  const std::int64_t srcPixels = rows ? std::int64_t{roi.width} + k - 1 : roi.width;
  const bool refused = (nulls & 7) != 0 || !RegionOk(roi) || k < 1 ||
                       dst->Step() < 4 * std::int64_t{roi.width} || src->Step() < 4 * srcPixels;
  ExpectStatus(status, refused, what);
  call.ExpectOnlyRegionsWritten(!refused, roi, what);
  if (refused) return;

  const std::vector<double> kernel(taps.begin(), taps.end());
  ExpectFiltered(*dst,
                 Pass(roi.width, roi.height, kernel,
                      [&](int x, int y, int i) {
                        return SourceTerm(rows ? src->Before(x + anchor - i, y)
                                               : src->Before(x, y + anchor - i));
                      }),
                 what);
}

// --- Allocation -----------------------------------------------------------------------

void FuzzMalloc(Input& in) {
  const int w = in.Range(-2, 300), h = in.Range(-2, 40);
  int step = -1;
  Ipp32f* plane = ippiMalloc_32f_C1(w, h, &step);
  if (w < 1 || h < 1) {
    FUZZ_CHECK(plane == nullptr && step == 0, "ippiMalloc_32f_C1(%d, %d): %p, step %d", w, h,
               static_cast<void*>(plane), step);
  } else {
    const int expectedStep = (4 * w + 63) / 64 * 64;
    FUZZ_CHECK(plane != nullptr && step == expectedStep &&
                   reinterpret_cast<std::uintptr_t>(plane) % 64 == 0,
               "ippiMalloc_32f_C1(%d, %d): %p, step %d", w, h, static_cast<void*>(plane), step);
    std::memset(plane, 0x5A, static_cast<std::size_t>(step) * h);  // every byte is the caller's
  }
  ippiFree(plane);

  const int bytes = in.Range(-2, 5000);
  void* buffer = ippMalloc(bytes);
  FUZZ_CHECK(
      (buffer != nullptr) == (bytes >= 1) && reinterpret_cast<std::uintptr_t>(buffer) % 64 == 0,
      "ippMalloc(%d): %p", bytes, buffer);
  if (buffer) std::memset(buffer, 0x5A, static_cast<std::size_t>(bytes));
  ippFree(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  for (int calls = 0; calls < 12 && !in.Empty(); ++calls) {
    switch (in.Byte() % 9) {
      case 0:
      case 1:
        FuzzUnary(in);
        break;
      case 2:
        FuzzBinary(in);
        break;
      case 3:
        FuzzDivCRev(in);
        break;
      case 4:
        FuzzColorTwist(in);
        break;
      case 5:
        FuzzGauss(in);
        break;
      case 6:
        FuzzReplicateBorder(in);
        break;
      case 7:
        FuzzRowColumnFilter(in, in.Bool());
        break;
      default:
        FuzzMalloc(in);
    }
  }
  return 0;
}
