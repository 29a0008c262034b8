# The mixed inbound (HTTP and SOCKS5 proxy on one port) as its own static library, so its tests
# and its benchmark link it alone; libbox links it.
file(GLOB BOX_MIXED_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/mixed_*.cc")
add_library(box_mixed STATIC ${BOX_MIXED_SOURCES})
target_include_directories(box_mixed PUBLIC "${PROJECT_SOURCE_DIR}")
target_link_libraries(box_mixed PUBLIC Threads::Threads)
# libbox exports only its C entry points.
set_target_properties(box_mixed PROPERTIES CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
