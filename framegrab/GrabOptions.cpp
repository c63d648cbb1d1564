#include "framegrab/GrabOptions.h"

#include <CLI/CLI.hpp>

namespace fp {

namespace {

constexpr const char* kUsage =
    "usage: framegrab local_ip remote_ip [--images N] [--duration SECONDS] [--save DIR "
    "[--save-every K] [--format png|tiff] [--when-behind wait|skip]] [--width W] [--json FILE|-] "
    "[--records FILE] [--logs DIR] [--quiet] [--serve [ADDR:]PORT] [--report FILE.html]";

// "[ADDR:]PORT", the address 127.0.0.1 when none is given; false when it is not one.
bool ParseServe(const std::string& text, std::string& address, int& port) {
  const std::size_t colon = text.rfind(':');
  address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
  if (address.empty() || digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  port = std::stoi(digits);
  return port >= 1 && port <= 65535;
}

}  // namespace

GrabParse ParseGrabArgs(const std::vector<std::string>& args, GrabOptions& options, std::FILE* out,
                        std::FILE* err) {
  CLI::App app("Takes RAW images from a NUDP camera and reports how they arrived.", "framegrab");
  app.set_version_flag("--version", std::string("framegrab ") + FRAMEGRAB_VERSION);
  app.add_option("local_ip", options.local, "local interface facing the camera")->required();
  app.add_option("remote_ip", options.remote, "the camera's address")->required();
  app.add_option("--images", options.images, "images to take (default 10)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000000));
  app.add_option("--duration", options.duration_seconds,
                 "stop after this many seconds, if the images are not done before")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  app.add_option("--save", options.save_dir,
                 "write 16-bit pictures into DIR as image-000001.png, ... (a new or empty DIR: "
                 "one holding pictures is refused)")
      ->type_name("DIR");
  app.add_option("--save-every", options.save_every, "write every K-th image only (default 1)")
      ->type_name("K")
      ->check(CLI::Range(1, 100000000));
  std::string format = "png";
  app.add_option("--format", format,
                 "picture format: png (smaller) or tiff (uncompressed, keeps up with the camera; "
                 "image number, UTC time and completeness in its tags); default png")
      ->type_name("png|tiff")
      ->check(CLI::IsMember({"png", "tiff"}));
  std::string when_behind = "wait";
  app.add_option("--when-behind", when_behind,
                 "when the picture writer is behind: wait (default; every image kept, up to a "
                 "quarter of the free memory queued, then acquisition waits) or skip (the "
                 "image is left unsaved)")
      ->type_name("wait|skip")
      ->check(CLI::IsMember({"wait", "skip"}));
  app.add_option("--width", options.width, "samples per picture row (default 2048)")
      ->type_name("W")
      ->check([](const std::string& text) -> std::string {
        int width = 0;
        try {
          width = std::stoi(text);
        } catch (const std::exception&) {
          return "needs a whole number";
        }
        if (width <= 0 || kImageSamples % width != 0) {
          return "needs a divisor of 4222976 (2048 gives 2048 x 2062)";
        }
        return "";
      });
  app.add_option("--json", options.json_path,
                 "write the records and summary as JSON to FILE (- "
                 "for standard output)")
      ->type_name("FILE");
  app.add_option("--records", options.records_path,
                 "append one JSON line per image (and per outage) to FILE as the run goes")
      ->type_name("FILE");
  app.add_option("--logs", options.logs_dir, "write the driver's log.txt and log_err.txt in DIR")
      ->type_name("DIR");
  std::string serve;
  app.add_option("--serve", serve,
                 "serve a live page of the run on PORT (of 127.0.0.1 unless ADDR is given) until "
                 "interrupted")
      ->type_name("[ADDR:]PORT")
      ->check([](const std::string& text) -> std::string {
        std::string address;
        int port = 0;
        return ParseServe(text, address, port) ? "" : "needs [ADDR:]PORT, PORT 1 to 65535";
      });
  app.add_option("--report", options.report_path,
                 "write the run's figures, charts and last image as one HTML file")
      ->type_name("FILE.html");
  app.add_flag("--quiet", options.quiet, "no progress and no summary; diagnoses and errors only");
  app.footer(
      "Exit status: 0 every image complete, 1 an image incomplete or a picture not written,\n"
      "2 usage error, 3 camera not opened or contact lost, 130/143 on SIGINT/SIGTERM.\n");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
    return GrabParse::kDone;
  } catch (const CLI::CallForVersion& e) {
    std::fprintf(out, "%s\n", e.what());
    return GrabParse::kDone;
  } catch (const CLI::ParseError& e) {
    std::fprintf(err, "framegrab: %s\n%s\n", e.what(), kUsage);
    return GrabParse::kUsageError;
  }
  if (!serve.empty()) ParseServe(serve, options.serve_address, options.serve_port);
  options.format = format == "tiff" ? PictureFormat::kTiff : PictureFormat::kPng;
  options.when_behind = when_behind == "skip" ? WhenBehind::kSkip : WhenBehind::kWait;
  for (const char* flag : {"--save-every", "--format", "--when-behind"}) {
    if (options.save_dir.empty() && app.count(flag) != 0) {
      std::fprintf(err, "framegrab: %s needs --save DIR\n%s\n", flag, kUsage);
      return GrabParse::kUsageError;
    }
  }
  return GrabParse::kRun;
}

}  // namespace fp
