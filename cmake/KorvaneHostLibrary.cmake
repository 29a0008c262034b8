# korvane_host_library(NAME [LIBS ...]): one static library of the host from every .cc in the
# calling folder (new files join at the next build). Headers are included as "<folder>/<file>.h".
#
# Members named *_testing.cc (the reset functions of static classes and other test seams,
# declared under KORVANE_TESTING in their class's header) go into NAME_testing instead, which
# test binaries link beside NAME; the host never contains them.
function(korvane_host_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cc" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  set(testing_sources ${sources})
  list(FILTER sources EXCLUDE REGEX "_testing\\.cc$")
  list(FILTER testing_sources INCLUDE REGEX "_testing\\.cc$")
  if(NOT sources)
    message(FATAL_ERROR "${name}: no sources in ${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  if(KORVANE_BUILD_TESTS)
    if(testing_sources)
      add_library(${name}_testing STATIC ${testing_sources})
      target_link_libraries(${name}_testing PUBLIC ${name})
      target_compile_definitions(${name}_testing PUBLIC KORVANE_TESTING)
    else()
      add_library(${name}_testing INTERFACE)
      target_link_libraries(${name}_testing INTERFACE ${name})
      target_compile_definitions(${name}_testing INTERFACE KORVANE_TESTING)
    endif()
  endif()
endfunction()
