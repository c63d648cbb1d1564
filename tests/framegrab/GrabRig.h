#pragma once

// framegrab end to end: camsim and framegrab as two processes in a scratch directory, and what
// the tests read back from them.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <png.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fp::test {

// What framegrab prints after a usage error.
inline constexpr const char* kGrabUsage =
    "usage: framegrab local_ip remote_ip [local_ip remote_ip ...] [--images N] [--duration TIME] "
    "[--give-up-after TIME] "
    "[--save DIR [--save-every K] [--format png|tiff] [--when-behind wait|skip]] [--width W] "
    "[--json FILE|-] [--records FILE] [--logs DIR [--driver-log all|errors]] [--progress-every "
    "TIME] [--quiet] [--serve [ADDR:]PORT] [--report FILE.html]\n"
    "   or: framegrab --from-capture FILE [--images N] [--save DIR [...]] [--width W] [--json "
    "FILE|-] [--records FILE] [--quiet] [--report FILE.html]\n";

// The first whole number after `label` in `text`, or -1.
inline long long After(const std::string& text, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(label + R"(\s*(\d+))"))) return -1;
  return std::stoll(m[1]);
}

// Checks that a camera's record lines say what its JSON says: the run, each image and each
// outage in the order they happened, and the end.
inline void ExpectLinesMatchJson(const std::vector<nlohmann::json>& lines,
                                 const nlohmann::json& run) {
  const nlohmann::json& outages = run["outages"];
  ASSERT_EQ(lines.size(), 2 + run["images"].size() + outages.size());
  EXPECT_EQ(lines.front()["record"], "run");
  EXPECT_EQ(lines.front()["local"], run["local"]);
  EXPECT_EQ(lines.back()["record"], "end");
  EXPECT_EQ(lines.back()["exit_status"], run["summary"]["exit_status"]);
  std::size_t next_image = 0;
  std::size_t next_outage = 0;
  for (std::size_t k = 1; k + 1 < lines.size(); ++k) {
    nlohmann::json line = lines[k];
    const std::string kind = line["record"];
    line.erase("record");
    EXPECT_EQ(line["camera"], run["camera"]);
    line.erase("camera");
    if (kind == "outage") {
      ASSERT_LT(next_outage, outages.size());
      EXPECT_EQ(line, outages[next_outage++]);
      continue;
    }
    ASSERT_EQ(kind, "image");
    ASSERT_LT(next_image, run["images"].size());
    nlohmann::json record = run["images"][next_image++];
    record.erase("samples");
    EXPECT_EQ(line, record);
  }
}

// camsim on <block>.<net>.1 with `flags`, and a working directory; framegrab runs from
// <block>.<net>.2.
class GrabRig {
 public:
  GrabRig(int net, std::vector<std::string> flags, const std::string& block = "127.22")
      : _net(block + "." + std::to_string(net)), _temp("framegrab_test"), _dir(_temp.Path()) {
    StartCamera(std::move(flags));
  }
  ~GrabRig() { StopCamera(); }

  std::string Local() const { return _net + ".2"; }
  std::string Camera() const { return _net + ".1"; }
  std::string Path(const std::string& name) const { return _dir + "/" + name; }
  std::string File(const std::string& name) const { return ReadFile(Path(name)); }

  // framegrab with the two addresses and `flags`; its exit status, -1 when it did not end in
  // two minutes. Its output goes to the files "out" and "err".
  int Grab(const std::vector<std::string>& flags) {
    return AwaitExit(StartGrab(flags), std::chrono::seconds(120));
  }
  pid_t StartGrab(const std::vector<std::string>& flags) {
    std::vector<std::string> args = {FRAMEGRAB_PATH, _net + ".2", Camera()};
    args.insert(args.end(), flags.begin(), flags.end());
    return Spawn(args, _dir, Path("out"), Path("err"));
  }

  // framegrab with `flags` alone (a capture's run), as Grab.
  int FromCapture(const std::vector<std::string>& flags) {
    std::vector<std::string> args = {FRAMEGRAB_PATH};
    args.insert(args.end(), flags.begin(), flags.end());
    return AwaitExit(Spawn(args, _dir, Path("out"), Path("err")), std::chrono::seconds(120));
  }

  // Starts camsim (again, after StopCamera) and waits until it listens.
  void StartCamera(std::vector<std::string> flags) {
    std::vector<std::string> args = {CAMSIM_PATH, "--bind", Camera(), "--quiet"};
    args.insert(args.end(), flags.begin(), flags.end());
    std::filesystem::remove(Path("camsim.err"));
    _camsim = Spawn(args, _dir, _dir + "/camsim.out", _dir + "/camsim.err");
    // Listening once it says so.
    AwaitText(_dir + "/camsim.err", "listening", std::chrono::seconds(5), _camsim);
  }

  // Ends camsim and returns the statistics it printed.
  std::string StopCamera() {
    if (_camsim > 0) {
      kill(_camsim, SIGTERM);
      AwaitExit(_camsim, std::chrono::seconds(10));
      _camsim = -1;
    }
    return File("camsim.out");
  }

 private:
  std::string _net;
  TempDir _temp;  // removed with what it holds after camsim stopped
  std::string _dir;
  pid_t _camsim = -1;
};

// The samples of a 16-bit grayscale PNG, with its width and height; empty when not one.
inline std::vector<std::uint16_t> DecodePng(const std::string& path, png_uint_32& width,
                                            png_uint_32& height) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<std::uint16_t> samples;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_info(png, info);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    if (png_get_bit_depth(png, info) == 16 &&
        png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
      png_set_swap(png);  // samples in host order (little-endian here)
      samples.resize(std::size_t{width} * height);
      for (png_uint_32 row = 0; row < height; ++row) {
        png_read_row(png, reinterpret_cast<png_bytep>(samples.data() + std::size_t{row} * width),
                     nullptr);
      }
    }
  } else {
    samples.clear();
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return samples;
}

}  // namespace fp::test
