// A stand-in XSETTINGS manager for tests: it owns the _XSETTINGS_S0 selection and publishes one
// setting, "Gtk/Modules", with the value given as the first argument, as a desktop's settings
// daemon does. Once it owns the selection it creates the file named by the second argument, then
// does nothing else.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char kName[] = "Gtk/Modules";

// Appends a CARD32 in the byte order the settings announce (the machine's own).
static size_t Put32(unsigned char* at, uint32_t value) {
  memcpy(at, &value, 4);
  return 4;
}

static size_t Padded(size_t length) {
  return (length + 3) & ~(size_t)3;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fake_xsettings_manager MODULES READY_FILE\n");
    return 2;
  }
  const char* modules = argv[1];
  const size_t name_length = strlen(kName);
  const size_t value_length = strlen(modules);
  unsigned char settings[8192];
  if (16 + Padded(name_length) + 8 + Padded(value_length) > sizeof(settings)) {
    fprintf(stderr, "fake_xsettings_manager: value too long\n");
    return 2;
  }
  // The XSETTINGS layout: byte order, 3 unused, serial, count; then per setting: type (1:
  // string), 1 unused, name length, name padded to 4, last-change serial, value length, value
  // padded to 4.
  memset(settings, 0, sizeof(settings));
  const uint16_t one = 1;
  settings[0] = *(const unsigned char*)&one == 1 ? LSBFirst : MSBFirst;
  size_t size = 4;
  size += Put32(settings + size, 1);
  size += Put32(settings + size, 1);
  settings[size] = 1;
  const uint16_t name_length16 = (uint16_t)name_length;
  memcpy(settings + size + 2, &name_length16, 2);
  size += 4;
  memcpy(settings + size, kName, name_length);
  size += Padded(name_length);
  size += Put32(settings + size, 0);
  size += Put32(settings + size, (uint32_t)value_length);
  memcpy(settings + size, modules, value_length);
  size += Padded(value_length);

  // A display that has just come up may refuse the first connections under load.
  Display* display = NULL;
  for (int attempt = 0; attempt < 100 && display == NULL; ++attempt) {
    display = XOpenDisplay(NULL);
    if (display == NULL) {
      usleep(100 * 1000);
    }
  }
  if (display == NULL) {
    fprintf(stderr, "fake_xsettings_manager: cannot open the display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window owner = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
  Atom settings_atom = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  XChangeProperty(display, owner, settings_atom, settings_atom, 8, PropModeReplace, settings,
                  (int)size);
  Atom selection = XInternAtom(display, "_XSETTINGS_S0", False);
  XSetSelectionOwner(display, selection, owner, CurrentTime);
  if (XGetSelectionOwner(display, selection) != owner) {
    fprintf(stderr, "fake_xsettings_manager: another manager owns the selection\n");
    return 1;
  }
  // Clients already running learn of the new manager from this message.
  XClientMessageEvent message;
  memset(&message, 0, sizeof(message));
  message.type = ClientMessage;
  message.window = root;
  message.message_type = XInternAtom(display, "MANAGER", False);
  message.format = 32;
  message.data.l[0] = CurrentTime;
  message.data.l[1] = (long)selection;
  message.data.l[2] = (long)owner;
  XSendEvent(display, root, False, StructureNotifyMask, (XEvent*)&message);
  XSync(display, False);

  int ready = open(argv[2], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (ready < 0) {
    perror("fake_xsettings_manager: ready file");
    return 1;
  }
  close(ready);
  for (;;) {
    pause();
  }
}
