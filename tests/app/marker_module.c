// A stand-in for code a privileged korvane must never load: a shared library whose constructor
// leaves "<its own path>.loaded" beside itself, holding the loading process's CapEff line. It
// runs on dlopen, so it marks whichever loader took it (a GTK module, a GL driver, a GIO module)
// before that loader looks for its entry points.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void leave_marker(void) {
  Dl_info info;
  if (dladdr((void*)leave_marker, &info) == 0 || info.dli_fname == NULL) {
    return;
  }
  char marker[4096];
  if (snprintf(marker, sizeof(marker), "%s.loaded", info.dli_fname) >= (int)sizeof(marker)) {
    return;
  }
  char text[256] = "CapEff: unknown\n";
  FILE* status = fopen("/proc/self/status", "r");
  if (status != NULL) {
    char line[256];
    while (fgets(line, sizeof(line), status) != NULL) {
      if (strncmp(line, "CapEff:", 7) == 0) {
        snprintf(text, sizeof(text), "%s", line);
      }
    }
    fclose(status);
  }
  int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    close(fd);
  }
}
