# korvane_glob_tests(PREFIX LIBS ... [DEPENDS ...]): every *_test.cc in the calling folder becomes one
# GoogleTest binary PREFIX_<file> registered with CTest (see korvane_add_gtest in
# tests/CMakeLists.txt).
function(korvane_glob_tests prefix)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS;DEPENDS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc")
  foreach(src ${tests})
    get_filename_component(base "${src}" NAME_WE)
    korvane_add_gtest(${prefix}_${base} SOURCES "${src}" LIBS korvane_test_support ${ARG_LIBS}
                      LABELS ${ARG_LABELS} TIMEOUT ${ARG_TIMEOUT} DEPENDS ${ARG_DEPENDS})
  endforeach()
endfunction()
