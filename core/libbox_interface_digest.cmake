# cmake -DLIBRARY=<engine library> -DOUTPUT=<file.cc> -P libbox_interface_digest.cmake
# Writes the definition of kLibboxExpectedSha256: the library's SHA-256, or empty without one.
set(digest "")
if(LIBRARY)
  file(SHA256 "${LIBRARY}" digest)
endif()
set(text "// Generated at build time from the bundled engine library; do not edit.\n")
string(APPEND text "extern const char kLibboxExpectedSha256[];\n")
string(APPEND text "const char kLibboxExpectedSha256[] = \"${digest}\";\n")
# Rewrite only on change so an unchanged library does not relink the executable.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old_text)
endif()
if(NOT old_text STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
