// The library the grant probe loads from its lib/.
const char* korvane_grant_probe_library(void) {
  return "genuine";
}
