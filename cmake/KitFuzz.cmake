# libFuzzer builds (the `fuzz` preset): clang only. Every target, the kit's
# modules included, is instrumented for coverage and checked by the address
# and undefined-behaviour sanitizers; the fuzz targets themselves link
# libFuzzer's main.
option(KIT_FUZZ "Build the libFuzzer targets in fuzz/ (clang required)" OFF)
if(KIT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KIT_FUZZ needs clang (the fuzz preset uses clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The fuzz build leaves BUILD_TESTING off (no GoogleTest suites) but runs
  # each target for a short time as a test.
  enable_testing()
endif()
