// What an attacker puts into a user-writable lib/ after a grant: loaded by a capable program,
// it would run with the capability. It leaves a marker with the capabilities it ran with.
#include <stdio.h>
#include <string.h>

const char* korvane_grant_probe_library(void) {
  return "injected";
}

__attribute__((constructor)) static void Injected(void) {
  FILE* marker = fopen("/tmp/injected", "a");
  FILE* status = fopen("/proc/self/status", "r");
  if (marker == NULL || status == NULL) {
    return;
  }
  char line[256];
  while (fgets(line, sizeof(line), status) != NULL) {
    if (strncmp(line, "CapEff:", 7) == 0) {
      fputs(line, marker);
    }
  }
  fclose(status);
  fclose(marker);
}
