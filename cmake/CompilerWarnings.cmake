# Every target of our own links fp_warnings; third-party code never sees these flags.
add_library(fp_warnings INTERFACE)
target_compile_options(fp_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual)
# Warnings fail the build of developers and CI (the presets turn FP_WERROR on); a user's or a
# packager's build (`cmake -B build`, scripts/package.sh) warns without failing on what a newer
# compiler warns of. The fuzz build uses another compiler, whose warnings differ; it warns without
# failing.
if(FP_WERROR AND NOT FP_SANITIZE STREQUAL "fuzzer")
  target_compile_options(fp_warnings INTERFACE -Werror)
endif()
# Clang's thread-safety analysis checks the lock annotations (base/ThreadAnnotations.h) in every
# target of our own; g++ has no such analysis, and the annotations are empty for it.
if(FP_THREAD_SAFETY)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "FP_THREAD_SAFETY needs clang: CMAKE_CXX_COMPILER=clang++")
  endif()
  target_compile_options(fp_warnings INTERFACE -Wthread-safety)
endif()
