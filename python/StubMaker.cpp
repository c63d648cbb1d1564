// Writes the Python module's type stubs: a copy of the template in which the line "@COUNTERS@"
// becomes a property for each counter of frameprobe/CounterList.h, in its order, with the
// docstring the module gives it.
//
//   frameprobe_stub_maker TEMPLATE OUTPUT
//
// Exit status 0 when written, 1 when a file could not be read or written or the template lacks
// the line, 2 for a wrong command line.

#include "frameprobe/CounterList.h"
#include "python/CounterDocs.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char* kMarker = "@COUNTERS@";

// One counter's property, indented as the template's marker line is.
std::string Property(const std::string& indent, const char* name, const char* help) {
  const std::string body = indent + "    ";
  return indent + "@property\n" + indent + "def " + name + "(self) -> int:\n" +
         fp::python::Wrapped(body + "\"\"\"", fp::python::HelpSentence(help) + "\"\"\"",
                             body.size(), 100) +
         "\n";
}

std::string Properties(const std::string& indent) {
  std::string text;
#define FP_PROPERTY(field, name, unit, place, label, help) text += Property(indent, #name, help);
  FRAMEPROBE_SOCKET_COUNTERS(FP_PROPERTY)
  FRAMEPROBE_DRIVER_COUNTERS(FP_PROPERTY)
#undef FP_PROPERTY
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: frameprobe_stub_maker TEMPLATE OUTPUT\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "frameprobe_stub_maker: cannot read %s\n", argv[1]);
    return 1;
  }
  std::ostringstream out;
  bool replaced = false;
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(kMarker);
    if (at != std::string::npos && line.find_first_not_of(' ') == at &&
        line.size() == at + std::string(kMarker).size()) {
      out << Properties(line.substr(0, at));
      replaced = true;
    } else {
      out << line << '\n';
    }
  }
  if (!replaced) {
    std::fprintf(stderr, "frameprobe_stub_maker: no line %s in %s\n", kMarker, argv[1]);
    return 1;
  }
  std::ofstream file(argv[2], std::ios::trunc);
  file << out.str();
  file.close();
  if (!file) {
    std::fprintf(stderr, "frameprobe_stub_maker: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
