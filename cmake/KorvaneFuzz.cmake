# KORVANE_FUZZ: a clang build whose code carries libFuzzer's coverage hooks together with
# AddressSanitizer and UndefinedBehaviorSanitizer, for the targets of tests/fuzz (scripts/fuzz
# configures it in its own build directory). Without it the same targets are built with a
# replay main that runs their corpora as ordinary tests.
option(KORVANE_FUZZ "Instrument the tree for libFuzzer (clang only)" OFF)
if(KORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KORVANE_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  if(NOT KORVANE_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KORVANE_FUZZ brings its own sanitizers: leave KORVANE_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -gline-tables-only
                      # Unoptimised code runs the targets several times slower.
                      -O1
                      # clang counts a g_autoptr holder kept only for its cleanup as unused.
                      -Wno-unused-variable)
  add_link_options(-fsanitize=address,undefined)
endif()
