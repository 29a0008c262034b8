// A stand-in window manager for tests that only announces itself: it publishes the EWMH
// check window with the name "GNOME Shell" (or the name given as the first argument) and then
// does nothing else, so clients see a window manager of that name without one managing them.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "GNOME Shell";
  // A display that has just come up may refuse the first connections under load.
  Display* display = NULL;
  for (int attempt = 0; attempt < 100 && display == NULL; ++attempt) {
    display = XOpenDisplay(NULL);
    if (display == NULL) {
      usleep(100 * 1000);
    }
  }
  if (display == NULL) {
    fprintf(stderr, "fake_gnome_wm: cannot open the display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
  Atom supporting = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);

  // The name first, then the check windows: a client that sees the check window finds the name.
  XChangeProperty(display, check, wm_name, utf8, 8, PropModeReplace, (const unsigned char*)name,
                  (int)strlen(name));
  XChangeProperty(display, check, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XChangeProperty(display, root, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XFlush(display);

  for (;;) {
    pause();
  }
}
