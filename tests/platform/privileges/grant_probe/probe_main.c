// A stand-in for the host executable in grant tests: it loads one library from its lib/
// (through its run path) and prints its effective capabilities, so a test sees which library a
// granted copy loads and with what.
#include <stdio.h>
#include <string.h>

const char* korvane_grant_probe_library(void);

int main(void) {
  printf("library: %s\n", korvane_grant_probe_library());
  FILE* status = fopen("/proc/self/status", "r");
  if (status == NULL) {
    return 1;
  }
  char line[256];
  while (fgets(line, sizeof(line), status) != NULL) {
    if (strncmp(line, "CapEff:", 7) == 0) {
      fputs(line, stdout);
    }
  }
  fclose(status);
  return 0;
}
