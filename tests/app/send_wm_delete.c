// Asks an X11 client to close a window the way a window manager's close button does: a
// WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. Usage: send_wm_delete WINDOW-ID.

#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s WINDOW-ID\n", argv[0]);
    return 2;
  }
  char* end = NULL;
  unsigned long window = strtoul(argv[1], &end, 0);
  if (end == argv[1] || *end != '\0' || window == 0) {
    fprintf(stderr, "send_wm_delete: bad window id %s\n", argv[1]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "send_wm_delete: cannot open the display\n");
    return 1;
  }
  XEvent event;
  memset(&event, 0, sizeof(event));
  event.xclient.type = ClientMessage;
  event.xclient.window = (Window)window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, (Window)window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  return sent != 0 ? 0 : 1;
}
