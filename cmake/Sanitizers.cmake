# Sanitizers apply to the whole build so that every library and test is instrumented alike.
if(FP_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(FP_SANITIZE STREQUAL "fuzzer")
  # Coverage for the fuzzer everywhere; the fuzz targets add the fuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(FP_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT FP_SANITIZE STREQUAL "")
  message(FATAL_ERROR "FP_SANITIZE must be empty, 'address', 'thread' or 'fuzzer'")
endif()
