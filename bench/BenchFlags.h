#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

namespace fp::bench {

// A check for a whole-number flag: `fits` says whether a number will do, and a value that is no
// whole number or does not fit is refused with "--flag: needs " and `what`.
inline CLI::Validator WholeNumber(std::function<bool(int)> fits, const std::string& what) {
  return CLI::Validator(
      [fits = std::move(fits), what](const std::string& text) -> std::string {
        int value = 0;
        return CLI::detail::lexical_cast(text, value) && fits(value) ? "" : "needs " + what;
      },
      "");  // the flag's own type name says what it takes
}

// The flags of a bench program that runs as a process (the soak, link_bench, framegrab_bench,
// sequence_bench), read with CLI11 the way all four read them: each flag takes one value, as
// "--images 5" or "--images=5", and a flag given twice keeps its last value.
class BenchFlags : public CLI::App {
 public:
  BenchFlags(const std::string& about, const std::string& program) : CLI::App(about, program) {
    option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    allow_extras();  // an unknown word is named by Parse, in the program's own words
  }

  // Adds "--flag N", a whole number of at least `low`, shown with its default.
  CLI::Option* AddCount(const std::string& name, int& value, const std::string& about, int low) {
    return add_option(name, value, about)
        ->type_name("N")
        ->capture_default_str()
        ->check(WholeNumber([low](int n) { return n >= low; },
                            "a whole number, " + std::to_string(low) + " or more"));
  }

  // Adds "--flag ADDR", an address that must be given and not empty.
  CLI::Option* AddAddress(const std::string& name, std::string& value, const std::string& about) {
    return add_option(name, value, about)
        ->type_name("ADDR")
        ->required()
        ->check([](const std::string& text) -> std::string {
          return text.empty() ? "needs an address" : "";
        });
  }

  // Reads the flags in `argv`. "--help" prints them with their defaults to standard output and
  // returns 0; a bad value, a flag without its value or an unknown flag prints one line naming
  // it to standard error and returns 2. Returns -1 when the program is to run.
  int Parse(int argc, char** argv) {
    try {
      parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::fputs(help().c_str(), stdout);
      return 0;
    } catch (const CLI::ParseError& e) {
      // An unknown flag comes first: a missing --local says little beside a misspelt one.
      if (remaining_size() == 0) {
        std::fprintf(stderr, "%s: %s\n", get_name().c_str(), e.what());
        return 2;
      }
    }
    if (remaining_size() == 0) return -1;
    const std::string stray = remaining().front();
    std::fprintf(stderr, "%s: unknown flag %s\n", get_name().c_str(),
                 stray.substr(0, stray.starts_with("--") ? stray.find('=') : stray.npos).c_str());
    return 2;
  }
};

}  // namespace fp::bench
