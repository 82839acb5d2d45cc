// tessivo-render: renders one image file through the effect module, driven by
// the stand-in host as the compositing application would drive it.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "StandInHost.h"

namespace {

using tessivo_host::StandInHost;
using tessivo_host::World;
using tessivo_host::WorldSpec;
using tessivo_tool::HostDepth;
using tessivo_tool::HostPixels;
using tessivo_tool::ImageLayout;
using tessivo_tool::ImageReader;
using tessivo_tool::SampleKind;

const char kUsage[] =
    "usage: tessivo-render [options] INPUT OUTPUT\n"
    "  --radius R            \"Tonal Radius\", 1 to 20 (default 2)\n"
    "  --threshold T         \"Tonal Threshold\", 0 to 1 (default 0)\n"
    "  --intensity L         \"Intensity Level\", 0 to 100 (default 50)\n"
    "  --luminosity on|off   \"Luminosity Mode\" (default on)\n"
    "  --depth 8|16|32       pixel depth handed to the effect (default: the input's)\n"
    "  --about               print the effect's about text and exit\n"
    "INPUT: PNG or OpenEXR. OUTPUT: .png or .exr, keeping the input's channels\n"
    "and sample depth as far as its type allows, whatever --depth says. The\n"
    "effect's module is $TESSIVO_MODULE, else Tessivo.so beside this program,\n"
    "else ../lib/Tessivo.so.\n";

// A bad command line: reported with a pointer to the usage, exit status 2.
struct UsageError {
  std::string message;
};
// Anything else that stops the render: exit status 1.
struct RenderError {
  std::string message;
};

struct Options {
  double radius = 2.0;
  double threshold = 0.0;
  double intensity = 50.0;
  bool luminosity = true;
  int depth = 0;  // 0: the input's
  bool about = false;
  std::string input;
  std::string output;
};

double ParseNumber(const std::string& option, const std::string& text, double min, double max) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v)) {
    throw UsageError{option + " needs a number, not \"" + text + "\""};
  }
  if (v < min || v > max) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", min, max);
    throw UsageError{option + " " + text + " is out of range (" + range + ")"};
  }
  return v;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0 || arg == "--") {
      if (arg == "--") {
        for (++i; i < argc; ++i) positional.push_back(argv[i]);
        break;
      }
      positional.push_back(arg);
      continue;
    }
    std::string value;
    bool inlineValue = false;
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    if (arg == "--about" || arg == "--help") {
      if (inlineValue) throw UsageError{arg + " takes no value"};
      if (arg == "--help") {
        std::fputs(kUsage, stdout);
        std::exit(0);
      }
      o.about = true;
      continue;
    }
    if (arg != "--radius" && arg != "--threshold" && arg != "--intensity" &&
        arg != "--luminosity" && arg != "--depth") {
      throw UsageError{"unknown option " + arg};
    }
    if (!inlineValue) {
      if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
      value = argv[++i];
    }
    if (arg == "--radius") {
      o.radius = ParseNumber(arg, value, 1.0, 20.0);
    } else if (arg == "--threshold") {
      o.threshold = ParseNumber(arg, value, 0.0, 1.0);
    } else if (arg == "--intensity") {
      o.intensity = ParseNumber(arg, value, 0.0, 100.0);
    } else if (arg == "--luminosity") {
      if (value != "on" && value != "off") throw UsageError{"--luminosity takes on or off"};
      o.luminosity = value == "on";
    } else {
      if (value != "8" && value != "16" && value != "32") {
        throw UsageError{"--depth takes 8, 16 or 32"};
      }
      o.depth = std::atoi(value.c_str());
    }
  }
  if (o.about) return o;
  if (positional.size() != 2) throw UsageError{"expected INPUT and OUTPUT"};
  o.input = positional[0];
  o.output = positional[1];
  return o;
}

// $TESSIVO_MODULE; else Tessivo.so beside this program (the plug-in folder),
// else ../lib/Tessivo.so (the build tree). When neither is there, the one
// beside this program is named in the error.
std::string ModulePath() {
  if (const char* env = std::getenv("TESSIVO_MODULE"); env && *env) return env;
  std::vector<char> exe(4096);
  const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  if (n <= 0) throw RenderError{"cannot locate this program; set TESSIVO_MODULE"};
  std::string dir(exe.data(), static_cast<std::size_t>(n));
  dir.resize(dir.rfind('/'));
  const std::string beside = dir + "/Tessivo.so", built = dir + "/../lib/Tessivo.so";
  return access(beside.c_str(), F_OK) != 0 && access(built.c_str(), F_OK) == 0 ? built : beside;
}

const char* ErrorName(PF_Err err) {
  switch (err) {
    case PF_Err_OUT_OF_MEMORY:
      return "PF_Err_OUT_OF_MEMORY";
    case PF_Err_INTERNAL_STRUCT_DAMAGED:
      return "PF_Err_INTERNAL_STRUCT_DAMAGED";
    case PF_Err_INVALID_INDEX:
      return "PF_Err_INVALID_INDEX";
    case PF_Err_UNRECOGNIZED_PARAM_TYPE:
      return "PF_Err_UNRECOGNIZED_PARAM_TYPE";
    case PF_Err_INVALID_CALLBACK:
      return "PF_Err_INVALID_CALLBACK";
    case PF_Err_BAD_CALLBACK_PARAM:
      return "PF_Err_BAD_CALLBACK_PARAM";
    default:
      return "unknown error";
  }
}

void Check(StandInHost& host, PF_Err err, const char* what) {
  if (!err) return;
  std::string message = std::string("the effect failed in ") + what + ": error " +
                        std::to_string(err) + " (" + ErrorName(err) + ")";
  const PF_OutData& out = host.OutData();
  if (out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE) {
    message += ": " + std::string(out.return_msg, strnlen(out.return_msg, sizeof out.return_msg));
  }
  throw RenderError{message};
}

PF_PixelFormat FormatForDepth(int depth) {
  return depth == 8    ? PF_PixelFormat_ARGB32
         : depth == 16 ? PF_PixelFormat_ARGB64
                       : PF_PixelFormat_ARGB128;
}

int DefaultDepth(SampleKind kind) {
  return kind == SampleKind::U8 ? 8 : kind == SampleKind::U16 ? 16 : 32;
}

HostPixels PixelsOf(World& world) {
  HostPixels p;
  p.depth = world.Format() == PF_PixelFormat_ARGB32   ? HostDepth::Eight
            : world.Format() == PF_PixelFormat_ARGB64 ? HostDepth::Sixteen
                                                      : HostDepth::Float;
  p.width = world.Width();
  p.height = world.Height();
  p.data = static_cast<unsigned char*>(world.Effect()->data);
  p.pitch = world.PitchBytes();
  return p;
}

int Run(const Options& o) {
  StandInHost host(ModulePath());
  Check(host, host.GlobalSetup(), "global setup");
  if (o.about) {
    Check(host, host.About(), "about");
    const PF_OutData& out = host.OutData();
    std::string text(out.return_msg, strnlen(out.return_msg, sizeof out.return_msg));
    // The text separates its version line with a carriage return.
    for (char& c : text) c = c == '\r' ? '\n' : c;
    std::printf("%s\n", text.c_str());
    return 0;
  }

  // The output's type is checked before any work, so that a bad name costs
  // nothing and leaves nothing behind.
  tessivo_tool::FileTypeForPath(o.output);
  std::optional<ImageReader> reader(std::in_place, o.input);
  const ImageLayout layout = reader->Layout();

  Check(host, host.ParamsSetup(), "parameter setup");
  host.SetParam("Tonal Radius", o.radius);
  host.SetParam("Tonal Threshold", o.threshold);
  host.SetParam("Intensity Level", o.intensity);
  host.SetParam("Luminosity Mode", o.luminosity ? 1.0 : 0.0);

  WorldSpec world;
  world.format = FormatForDepth(o.depth ? o.depth : DefaultDepth(layout.kind));
  world.width = layout.width;
  world.height = layout.height;
  world.zeroed = false;  // the reader fills the input, the effect the output
  host.SetInputWorld(world);  // the output takes the same shape
  reader->Read(PixelsOf(host.Input()));
  reader.reset();  // the file and the decoder's buffers are not needed again

  PF_OutData& out = host.OutData();
  out.out_flags &= ~PF_OutFlag_DISPLAY_ERROR_MESSAGE;
  out.return_msg[0] = '\0';
  Check(host, host.RenderFrame(), "render");

  tessivo_tool::WriteImageFile(o.output, PixelsOf(host.Output()), layout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(ParseOptions(argc, argv));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tessivo-render: %s (see --help)\n", e.message.c_str());
    return 2;
  } catch (const RenderError& e) {
    std::fprintf(stderr, "tessivo-render: %s\n", e.message.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessivo-render: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "tessivo-render: unexpected failure\n");
  }
  return 1;
}
