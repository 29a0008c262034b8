// Writes a line for each window mapped on the display's root ("map 0xID") from the moment it is
// ready, which it says by creating READY-FILE: what a poll of map states would miss, a window
// mapped for a moment, shows here. Usage: map_watch READY-FILE.

#include <X11/Xlib.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s READY-FILE\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "map_watch: cannot open the display\n");
    return 1;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  // Selected on the server before anyone is told.
  XSync(display, False);
  int ready = open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (ready < 0) {
    perror("map_watch: ready file");
    return 1;
  }
  close(ready);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify) {
      printf("map 0x%lx\n", (unsigned long)event.xmap.window);
      fflush(stdout);
    }
  }
}
