// tessivo-render and its image files, run as a user runs them.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <zlib.h>

#include "ImageFile.h"
#include "render_support.h"

namespace render_test {
namespace {

namespace fs = std::filesystem;
using tessivo_tool::Raster;
using tessivo_tool::SampleKind;

class Tool : public ::testing::Test {
 protected:
  Tool() { fs::create_directories(dir); }
  ~Tool() override { fs::remove_all(dir); }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  // The tool's exit status; its output goes to `out` and `err`.
  int Run(const std::string& args, const std::string& env = "") {
    const int status = std::system(
        (env + " " TESSIVO_RENDER_TOOL " " + args + " >" + Path("stdout") + " 2>" + Path("stderr"))
            .c_str());
    std::stringstream o, e;
    o << std::ifstream(Path("stdout")).rdbuf();
    e << std::ifstream(Path("stderr")).rdbuf();
    out = o.str();
    err = e.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const fs::path dir = fs::temp_directory_path() / ("tessivo-tool-" + std::to_string(getpid()));
  std::string out, err;
};

// At intensity 0 the effect gives its input back, so the files must too: a
// 16-bit PNG through a 16-bit host (values a host level maps back to), an
// OpenEXR's floats, beyond 0..1 too, through a float host.
TEST_F(Tool, RoundTripsSixteenBitPngAndOpenExrAtIntensityZero) {
  std::mt19937 rng(5);
  for (const auto& [kind, ext] :
       {std::pair{SampleKind::U16, ".png"}, std::pair{SampleKind::F32, ".exr"}}) {
    Raster in{13, 6, kind, {}};
    for (int i = 0; i < 4 * 13 * 6; ++i) {
      in.samples.push_back(kind == SampleKind::U16
                               ? std::round(rng() % 32769 * 65535.0 / 32768.0)
                               : std::uniform_real_distribution<float>(-0.5f, 3.0f)(rng));
    }
    tessivo_tool::WriteImageFile(Path(std::string("in") + ext), in);
    ASSERT_EQ(Run(std::string("--intensity 0 --radius 3 ") + Path(std::string("in") + ext) + " " +
                  Path(std::string("out") + ext)),
              0)
        << err;
    const Raster back = tessivo_tool::ReadImageFile(Path(std::string("out") + ext));
    EXPECT_EQ(back.kind, kind);
    EXPECT_EQ(back.samples, in.samples) << ext;
  }
}

// Bad input: one line on stderr, a non-zero status, and the output file as
// it was, with no temporary left beside it.
TEST_F(Tool, FailsCleanlyLeavingTheOutputAlone) {
  tessivo_tool::WriteImageFile(Path("in.png"),
                               Raster{2, 2, SampleKind::U8, std::vector<float>(16, 9)});
  std::ofstream(Path("text.png")) << "not an image";
  // A header claiming 16384 x 16384 16-bit RGBA over a 2-byte IDAT: refused
  // before 2 GiB are allocated for it, not when the data runs out.
  std::string huge = "\x89PNG\r\n\x1a\n";
  for (const std::string& chunk :
       {std::string("\0\0\0\x0dIHDR\0\0\x40\0\0\0\x40\0\x10\x06\0\0\0", 21),
        std::string("\0\0\0\x02IDAT\x78\x9c", 10)}) {
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4), chunk.size() - 4);
    huge += chunk + std::string{char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
  }
  std::ofstream(Path("huge.png"), std::ios::binary) << huge;
  const std::string in = Path("in.png"), result = Path("out.png");
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"--frobnicate 1 " + in + " " + result, "", 2, "unknown option --frobnicate"},
      {"--radius 25 " + in + " " + result, "", 2, "out of range"},
      {"--luminosity maybe " + in + " " + result, "", 2, "on or off"},
      {Path("missing.png") + " " + result, "", 1, "cannot open"},
      {Path("text.png") + " " + result, "", 1, "unsupported file format"},
      {Path("huge.png") + " " + result, "", 1, "damaged PNG"},
      {in + " " + Path("out.tiff"), "", 1, "unsupported output type"},
      {in + " " + result, "TESSIVO_MODULE=" + Path("none.so"), 1, "does not exist"}};
  for (const auto& [args, env, status, says] : cases) {
    SCOPED_TRACE(args);
    std::ofstream(result) << "precious";
    EXPECT_EQ(Run(args, env), status);
    EXPECT_NE(err.find(says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    std::string content;
    std::ifstream(result) >> content;
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6);
  }
}

TEST_F(Tool, PrintsTheAboutText) {
  ASSERT_EQ(Run("--about"), 0) << err;
  EXPECT_EQ(out.rfind("Brannic Tessivo, v2.0\nBrannic Tessivo (v2.0.2)", 0), 0u) << out;
}

}  // namespace
}  // namespace render_test
