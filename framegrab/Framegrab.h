#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace fp {

// The whole framegrab program but its signal handling: parses `args` (without the program
// name), takes the images, prints progress, the summary and diagnoses on `out` (on `err` when
// the JSON goes to standard output), errors on `err`, writes the JSON and returns the exit
// status: 0 every image complete, 1 an image incomplete or a picture not written, 2 usage
// error (nothing sent), 3 camera not opened or contact lost, 128 + the signal when
// `*stop_signal` became that signal number during the run.
int RunFramegrab(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                 const std::atomic<int>* stop_signal);

}  // namespace fp
