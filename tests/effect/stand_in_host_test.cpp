// The stand-in host's own contracts that the effect's tests rest on: module
// loading, world layout and parameter values.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "host_fixture.h"

namespace fs = std::filesystem;
using tessivo_host::StandInHost;
using tessivo_host::World;
using tessivo_host::WorldSpec;

namespace {

std::string LoadError(const std::string& module_path) {
  try {
    StandInHost h(module_path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(StandInHostLoading, NamesWhatIsMissing) {
  const fs::path dir = fs::temp_directory_path() / ("tessivo_host_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path module = dir / "Tessivo.so";
  fs::copy_file(TESSIVO_MODULE_PATH, module, fs::copy_options::overwrite_existing);
  EXPECT_NE(LoadError((dir / "Absent.so").string()).find("does not exist"), std::string::npos);
  EXPECT_NE(LoadError(module.string()).find("descriptor"), std::string::npos);
  std::ofstream(dir / "Tessivo.plugin") << "name=X\nmatch_name=Y\ncategory=Z\nentry_point=Nope\n";
  EXPECT_NE(LoadError(module.string()).find("no entry point 'Nope'"), std::string::npos);
  fs::remove_all(dir);
}

TEST(StandInHostWorld, RowsLieWherePitchSaysAndTheBlockIsExact) {
  struct Case {
    PF_PixelFormat format;
    A_long width, height;
    std::optional<A_long> rowbytes;
    std::ptrdiff_t pitch;
    std::size_t bytes;
  } cases[] = {
      {PF_PixelFormat_ARGB32, 5, 3, std::nullopt, 20, 60},
      {PF_PixelFormat_ARGB64, 5, 3, 48, 48, 136},
      {PF_PixelFormat_ARGB128, 3, 2, -64, -64, 112},
      {PF_PixelFormat_ARGB32, 255, 2, 1022, 1020, 2040},
      {PF_PixelFormat_ARGB32, 255, 2, -1022, -1024, 2044},
      {PF_PixelFormat_ARGB32, 0, 4, std::nullopt, 0, 0},
  };
  for (const Case& c : cases) {
    World w(WorldSpec{c.format, c.width, c.height, c.rowbytes});
    EXPECT_EQ(w.PitchBytes(), c.pitch);
    EXPECT_EQ(w.ByteCount(), c.bytes);
    EXPECT_EQ(w.RowBytes(), c.rowbytes.value_or(
                                c.width * static_cast<A_long>(tessivo_host::PixelSize(c.format))));
  }

  World w(WorldSpec{PF_PixelFormat_ARGB32, 3, 2, -16});
  w.Set(2, 1, PF_Pixel8{1, 2, 3, 4});
  const auto* row0 = static_cast<const unsigned char*>(w.Effect()->data);
  EXPECT_EQ(row0[-16 + 2 * 4 + 3], 4);  // row 1 lies below row 0 in memory
  EXPECT_EQ(w.Get<PF_Pixel8>(2, 1).blue, 4);
  EXPECT_THROW(w.Get<PF_Pixel8>(3, 0), std::out_of_range);
  EXPECT_THROW(w.Get<PF_Pixel16>(0, 0), std::invalid_argument);
  EXPECT_THROW(World(WorldSpec{PF_PixelFormat_ARGB32, 4, 2, 12}), std::invalid_argument);
  EXPECT_THROW(World(WorldSpec{PF_PixelFormat_INVALID, 4, 2, std::nullopt}), std::invalid_argument);

  // Worlds larger than a host makes are refused before they are allocated.
  StandInHost host(TESSIVO_MODULE_PATH);
  for (const WorldSpec& huge : {WorldSpec{PF_PixelFormat_ARGB32, INT_MAX, 1, std::nullopt},
                                WorldSpec{PF_PixelFormat_ARGB32, INT_MAX, 1, 64},
                                WorldSpec{PF_PixelFormat_ARGB128, INT_MAX, 1, 0},
                                WorldSpec{PF_PixelFormat_ARGB32, 65535, 65535, std::nullopt},
                                WorldSpec{PF_PixelFormat_ARGB128, 65535, 65535, std::nullopt},
                                WorldSpec{PF_PixelFormat_ARGB32, 30001, 1, std::nullopt}}) {
    SCOPED_TRACE(testing::Message() << huge.width << " x " << huge.height);
    EXPECT_THROW(host.SetInputWorld(huge), std::invalid_argument);
    EXPECT_THROW(host.SetOutputWorld(huge), std::invalid_argument);
  }
  // The largest side itself is a frame a host makes.
  EXPECT_NO_THROW(host.SetInputWorld(WorldSpec{PF_PixelFormat_ARGB32, 30000, 1, std::nullopt}));
  EXPECT_NO_THROW(host.SetOutputWorld(WorldSpec{PF_PixelFormat_ARGB32, 1, 30000, std::nullopt}));
}

TEST_F(HostTest, ParameterValuesAreCheckedAgainstTheirDefinitions) {
  EXPECT_THROW(host.SetParam(1, 2.0), std::invalid_argument);  // nothing added yet
  ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
  host.SetParam("Tonal Radius", 20.0);
  EXPECT_EQ(host.ParamValue(1), 20.0);
  host.SetParam(4, 0);
  EXPECT_EQ(host.ParamValue(4), 0.0);

  auto refusal = [&](const char* name, double value) {
    try {
      host.SetParam(name, value);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refusal("Tonal Radius", 20.5), "Tonal Radius: 20.5 is outside its valid range 1 to 20");
  // NaN, infinities and values just outside the range never reach the effect.
  const double nan = std::nan(""), inf = INFINITY;
  for (const auto& [name, value] : {std::pair{"Tonal Radius", nan},
                                    {"Tonal Radius", inf},
                                    {"Tonal Radius", 0.999},
                                    {"Tonal Threshold", -1e-40},
                                    {"Tonal Threshold", 1.5},
                                    {"Tonal Threshold", nan},
                                    {"Intensity Level", -inf},
                                    {"Intensity Level", 100.5},
                                    {"Intensity Level", nan},
                                    {"Luminosity Mode", nan}}) {
    EXPECT_NE(refusal(name, value), "accepted") << name << " " << value;
  }
  EXPECT_EQ(refusal("Luminosity Mode", 0.5),
            "Luminosity Mode: a checkbox takes an integer, not 0.5");
  EXPECT_EQ(refusal("Tonal Radiuss", 2.0), "no parameter named 'Tonal Radiuss'");
  EXPECT_EQ(host.ParamValue(1), 20.0);
}

// ExpectLedgersBalanced and the request-passing tests read these; a host
// that missed what goes wrong, or asked for the wrong frame by default,
// would blind them.
TEST_F(HostTest, LedgersCountWhatWasNeverGivenOut) {
  const SPBasicSuite* basic = host.InData().pica_basicP;
  EXPECT_NE(basic->ReleaseSuite(kPFANSISuite, kPFANSISuiteVersion1), kSPNoError);
  EXPECT_EQ(host.BadSuiteReleases(), 1);
  const void* suite = nullptr;
  ASSERT_EQ(basic->AcquireSuite(kPFHandleSuite, kPFHandleSuiteVersion2, &suite), kSPNoError);
  EXPECT_EQ(host.OutstandingSuites(), 1);
  const auto* handles = static_cast<const PF_HandleSuite2*>(suite);
  PF_Handle handle = handles->host_new_handle(8);
  handles->host_unlock_handle(handle);  // never locked
  EXPECT_EQ(host.BadHandleCalls(), 1);
  handles->host_dispose_handle(handle);
  handles->host_dispose_handle(handle);  // already gone
  EXPECT_EQ(host.BadHandleCalls(), 2);
  EXPECT_EQ(basic->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2), kSPNoError);
  EXPECT_NE(basic->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2), kSPNoError);
  EXPECT_EQ(host.BadSuiteReleases(), 2);
  EXPECT_EQ(host.OutstandingSuites(), 0);
}

TEST_F(HostTest, DefaultRequestCoversTheOutputAndTheLayerTheInput) {
  host.SetInputWorld(WorldSpec{PF_PixelFormat_ARGB32, 7, 3, std::nullopt});
  host.SetOutputWorld(WorldSpec{PF_PixelFormat_ARGB32, 5, 2, std::nullopt});
  ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
  ASSERT_EQ(host.PreRender(), PF_Err_NONE);
  ASSERT_TRUE(host.LastLayerRequest().has_value());
  const PF_RenderRequest& req = *host.LastLayerRequest();
  EXPECT_EQ(std::vector<A_long>({req.rect.left, req.rect.top, req.rect.right, req.rect.bottom}),
            std::vector<A_long>({0, 0, 5, 2}));
  EXPECT_EQ(req.channel_mask, 0xF);  // alpha, red, green, blue
  for (const PF_LRect& r :
       {host.PreRenderOutput().result_rect, host.PreRenderOutput().max_result_rect}) {
    EXPECT_EQ(std::vector<A_long>({r.left, r.top, r.right, r.bottom}),
              std::vector<A_long>({0, 0, 7, 3}));
  }
  host.DiscardPreRenderData();
}

}  // namespace
