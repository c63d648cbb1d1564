#pragma once

// The counters' words in Python: docstrings made from the help texts of frameprobe/CounterList.h,
// shared by the module and the program that writes its type stubs, so that both say the same.

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace fp::python {

// A help text as a sentence: "datagrams received" becomes "Datagrams received.".
inline std::string HelpSentence(std::string_view help) {
  std::string sentence(help);
  if (!sentence.empty()) {
    sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
  }
  return sentence + ".";
}

// `head` followed by the words of `text`, in lines of at most `width` characters where the words
// allow it, the lines after the first indented by `indent` spaces; without a final line end.
inline std::string Wrapped(const std::string& head, std::string_view text, std::size_t indent,
                           std::size_t width) {
  std::string out;
  std::string line = head;
  bool line_has_words = false;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (word.empty()) continue;
    if (line_has_words && line.size() + 1 + word.size() > width) {
      out += line + "\n";
      line = std::string(indent, ' ');
      line_has_words = false;
    }
    if (line_has_words) line += ' ';
    line += word;
    line_has_words = true;
  }
  return out + line;
}

}  // namespace fp::python
