# The mixed inbound (HTTP and SOCKS5 proxy on one port) as its own static library, so its tests
# and its benchmark link it alone; libbox links it.
# The outbounds' protocol code (proxy handshakes, Shadowsocks AEAD, UDP associations, the dial
# control that keeps their sockets off a TUN) lives here too: the event loops run it, and the
# engine's delay probe and DNS client share it.
file(GLOB BOX_MIXED_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/mixed_*.cc"
     "${CMAKE_CURRENT_LIST_DIR}/proxy_client.cc" "${CMAKE_CURRENT_LIST_DIR}/ss_aead.cc"
     "${CMAKE_CURRENT_LIST_DIR}/dial_control.cc" "${CMAKE_CURRENT_LIST_DIR}/udp_outbound*.cc")
find_package(OpenSSL 3 REQUIRED)
add_library(box_mixed STATIC ${BOX_MIXED_SOURCES})
target_include_directories(box_mixed PUBLIC "${PROJECT_SOURCE_DIR}")
target_link_libraries(box_mixed PUBLIC Threads::Threads OpenSSL::Crypto)
# libbox exports only its C entry points.
set_target_properties(box_mixed PROPERTIES CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
