#include "framegrab/GrabOptions.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace fp {

namespace {

constexpr const char* kUsage =
    "usage: framegrab local_ip remote_ip [local_ip remote_ip ...] [--images N] [--duration TIME] "
    "[--give-up-after TIME] "
    "[--save DIR [--save-every K] [--format png|tiff] [--when-behind wait|skip]] [--width W] "
    "[--json FILE|-] [--records FILE] [--logs DIR [--driver-log all|errors]] [--progress-every "
    "TIME] [--quiet] [--serve [ADDR:]PORT] [--report FILE.html]\n"
    "   or: framegrab --from-capture FILE [--images N] [--save DIR [...]] [--width W] [--json "
    "FILE|-] [--records FILE] [--quiet] [--report FILE.html]";

// The narrowest and widest pictures: 527,872 rows of 8 samples, 128 rows of 32,992.
constexpr int kMinWidth = 8;
constexpr int kMaxWidth = 32992;

// The most images a run takes, and those of a capture when --images is not given.
constexpr int kAllImages = 100000000;

// The longest time a flag takes: ten years.
constexpr double kLongestSeconds = 3650.0 * 86400.0;

// "four numbers 0 to 255 joined by dots", nothing else: no host names, no shorter forms.
bool IsDottedQuad(const std::string& text) {
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t end = at;
    while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at || end - at > 3 || std::stoi(text.substr(at, end - at)) > 255) return false;
    ++parts;
    if (parts == 4) return end == text.size();
    if (end >= text.size() || text[end] != '.') return false;
    at = end + 1;
  }
  return false;
}

std::string CheckAddress(const std::string& text) {
  return IsDottedQuad(text) ? ""
                            : "needs an IPv4 address: four numbers 0 to 255 joined by dots, such "
                              "as 192.168.1.20";
}

// A check for a time flag; `zero` allows 0 (off).
CLI::Validator TimeCheck(bool zero) {
  return CLI::Validator(
      [zero](std::string& text) -> std::string {
        double seconds = 0;
        if (!ParseDuration(text, seconds)) {
          return "needs a time such as 90s, 30m, 2h or 3d (a number alone is seconds)";
        }
        if (seconds > kLongestSeconds) return "needs a time of at most 3650d (ten years)";
        if (seconds == 0 && !zero) return "needs a time above 0";
        char exact[40];
        std::snprintf(exact, sizeof exact, "%.17g", seconds);
        text = exact;
        return "";
      },
      "");  // the option's own type name says it
}

// A check for a whole number from `low` to `high`, in plain words.
CLI::Validator WholeNumberCheck(long low, long high) {
  return CLI::Validator(
      [low, high](const std::string& text) -> std::string {
        const std::string words =
            "needs a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        if (text.empty() || text.size() > 12 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
          return words;
        }
        const long value = std::stol(text);
        return value < low || value > high ? words : "";
      },
      "");
}

// An option that takes one of `choices`, shown as "a|b".
CLI::Option* AddChoice(CLI::App& app, const std::string& flag, std::string& value,
                       const std::string& help, const std::vector<std::string>& choices) {
  std::string shown;
  for (const std::string& choice : choices) shown += (shown.empty() ? "" : "|") + choice;
  return app.add_option(flag, value, help)
      ->type_name(shown)
      ->check(CLI::IsMember(choices).description(""));
}

constexpr const char* kExitStatusText =
    "Exit status:\n"
    "  0        every image complete, no outage\n"
    "  1        an image incomplete (not by an outage), or a picture, the JSON, the record\n"
    "           lines or a driver log not written\n"
    "  2        usage error: nothing was sent\n"
    "  3        the camera did not answer at the start, or the run ended in an outage\n"
    "           (--give-up-after, or its time ran out while contact was lost)\n"
    "  4        contact was lost and regained (outages ridden out); nothing else went wrong\n"
    "  130/143  SIGINT/SIGTERM\n"
    "With several cameras, the worst of theirs: an interrupt's, then 3, 1, 4 and 0; the summary\n"
    "names the camera that set it.\n";

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

bool ParseDuration(const std::string& text, double& seconds) {
  if (text.empty() || text.size() > 24) return false;
  std::size_t digits = text.size();
  double unit = 1;
  switch (text.back()) {
    case 's':
      unit = 1;
      --digits;
      break;
    case 'm':
      unit = 60;
      --digits;
      break;
    case 'h':
      unit = 3600;
      --digits;
      break;
    case 'd':
      unit = 86400;
      --digits;
      break;
    default:
      break;
  }
  const std::string number = text.substr(0, digits);
  // Digits with at most one point: no signs, exponents, "inf" or "nan".
  if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos ||
      number.find('.') != number.rfind('.') || number == ".") {
    return false;
  }
  seconds = std::strtod(number.c_str(), nullptr) * unit;
  return std::isfinite(seconds);
}

GrabParse ParseGrabArgs(const std::vector<std::string>& args, GrabOptions& options, std::FILE* out,
                        std::FILE* err) {
  CLI::App app("Takes RAW images from a NUDP camera and reports how they arrived.", "framegrab");
  app.set_version_flag("--version", std::string("framegrab ") + FRAMEGRAB_VERSION);
  app.add_option("local_ip", options.local, "local interface facing the camera (a dotted quad)")
      ->check(CheckAddress);
  app.add_option("remote_ip", options.remote, "the camera's address (a dotted quad)")
      ->check(CheckAddress);
  std::vector<std::string> more;
  app.add_option("more", more,
                 "further cameras, each its local interface and its address: a station, every "
                 "camera taken at once")
      ->check(CheckAddress);
  app.add_option("--from-capture", options.capture_path,
                 "read a capture of cameras' traffic (pcap or pcapng) instead of a camera: each "
                 "camera in it gets the figures, records, pictures and report of a run (no "
                 "addresses then)")
      ->type_name("FILE");
  app.add_option("--images", options.images, "images to take (default 10)")
      ->type_name("N")
      ->check(WholeNumberCheck(1, kAllImages));
  app.add_option("--duration", options.duration_seconds,
                 "stop after this time (90s, 30m, 2h, 3d; a number alone is seconds), if the "
                 "images are not done before")
      ->type_name("TIME")
      ->transform(TimeCheck(false));
  app.add_option("--give-up-after", options.give_up_after_seconds,
                 "end the run once contact with the camera has been lost for this long without a "
                 "break (default: ride out every outage)")
      ->type_name("TIME")
      ->transform(TimeCheck(false));
  app.add_option("--save", options.save_dir,
                 "write 16-bit pictures into DIR as image-000001.png, ... (a new or empty DIR: "
                 "one holding pictures is refused)")
      ->type_name("DIR");
  app.add_option("--save-every", options.save_every, "write every K-th image only (default 1)")
      ->type_name("K")
      ->check(WholeNumberCheck(1, 100000000));
  std::string format = "png";
  AddChoice(app, "--format", format,
            "picture format: png (smaller) or tiff (uncompressed, keeps up with the camera; "
            "image number, UTC time and completeness in its tags); default png",
            {"png", "tiff"});
  std::string when_behind = "wait";
  AddChoice(app, "--when-behind", when_behind,
            "when the picture writer is behind: wait (default; every image kept, up to a "
            "quarter of the free memory queued, then acquisition waits) or skip (the "
            "image is left unsaved)",
            {"wait", "skip"});
  app.add_option("--width", options.width, "samples per picture row (default 2048)")
      ->type_name("W")
      ->check([](const std::string& text) -> std::string {
        int width = 0;
        try {
          width = std::stoi(text);
        } catch (const std::exception&) {
          return "needs a whole number";
        }
        // A picture no more than a million rows high (a PNG's limit) and no wider than a
        // preview can show in square blocks of its rows.
        if (width < kMinWidth || width > kMaxWidth || kImageSamples % width != 0) {
          return "needs a divisor of 4222976 from 8 to 32992 (2048 gives 2048 x 2062)";
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
  app.add_option("--logs", options.logs_dir,
                 "write the driver's log.txt and log_err.txt in DIR (log.txt: about 1.3 MB an "
                 "image)")
      ->type_name("DIR");
  std::string driver_log = "all";
  AddChoice(app, "--driver-log", driver_log,
            "with --logs: all (both logs), or errors (log_err.txt alone: what went wrong, a "
            "few lines per fault; for long runs)",
            {"all", "errors"});
  app.add_option("--progress-every", options.progress_every_seconds,
                 "when the output is not a terminal, one progress line this often (default 60s; "
                 "0: a line per image)")
      ->type_name("TIME")
      ->transform(TimeCheck(true));
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
  app.footer(kExitStatusText);

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
  if (options.capture_path.empty()) {
    for (const char* name : {"local_ip", "remote_ip"}) {
      if (app.count(name) == 0) {
        std::fprintf(err, "framegrab: %s is required\n%s\n", name, kUsage);
        return GrabParse::kUsageError;
      }
    }
    if (more.size() % 2 != 0) {
      std::fprintf(err,
                   "framegrab: camera %s has no local_ip before it: give each camera as local_ip "
                   "remote_ip\n%s\n",
                   more.back().c_str(), kUsage);
      return GrabParse::kUsageError;
    }
    options.cameras = {{options.local, options.remote}};
    for (std::size_t i = 0; i < more.size(); i += 2) {
      const CameraLink link{more[i], more[i + 1]};
      for (const CameraLink& before : options.cameras) {
        if (before.remote == link.remote) {
          std::fprintf(err, "framegrab: camera %s is given twice\n%s\n", link.remote.c_str(),
                       kUsage);
          return GrabParse::kUsageError;
        }
        if (before.local == link.local) {
          std::fprintf(
              err,
              "framegrab: local_ip %s is given for cameras %s and %s: each camera needs a "
              "local address of its own (the driver's ports 32100 and 32101 are fixed)\n%s\n",
              link.local.c_str(), before.remote.c_str(), link.remote.c_str(), kUsage);
          return GrabParse::kUsageError;
        }
      }
      options.cameras.push_back(link);
    }
  } else {
    // A capture holds what was sent and when: nothing to reach, wait for or log.
    for (const char* name : {"local_ip", "remote_ip", "more", "--duration", "--give-up-after",
                             "--logs", "--driver-log", "--serve", "--progress-every"}) {
      if (app.count(name) != 0) {
        std::fprintf(err, "framegrab: %s has no meaning with --from-capture\n%s\n", name, kUsage);
        return GrabParse::kUsageError;
      }
    }
    // Every image of the capture unless told otherwise.
    if (app.count("--images") == 0) options.images = kAllImages;
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
  options.logs_errors_only = driver_log == "errors";
  if (app.count("--driver-log") != 0 && options.logs_dir.empty()) {
    std::fprintf(err, "framegrab: --driver-log needs --logs DIR\n%s\n", kUsage);
    return GrabParse::kUsageError;
  }
  return GrabParse::kRun;
}

}  // namespace fp
