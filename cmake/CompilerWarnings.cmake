# Every target of our own links fp_warnings; third-party code never sees these flags.
add_library(fp_warnings INTERFACE)
target_compile_options(fp_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual)
# The fuzz build uses another compiler, whose warnings differ; it warns without failing.
if(NOT FP_SANITIZE STREQUAL "fuzzer")
  target_compile_options(fp_warnings INTERFACE -Werror)
endif()
