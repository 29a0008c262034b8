#ifndef APP_SECURE_START_H_
#define APP_SECURE_START_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/privileges/granted_copy.h"

// What korvane does first when it holds privileges its user does not have: a file capability
// (secure-execution mode) or capabilities handed on through the ambient set. Such a process loads
// no code that its environment, its command line or the user's files name: GTK, GLib, GIO,
// gdk-pixbuf and the GL loaders would otherwise load modules from wherever those point. The
// display's gtk-modules setting is refused apart (display_settings_guard.cc).
//
// What such a process still takes from its user: choices among installed modules (an input
// method, a GSettings backend, a GDK backend), root's configuration (/etc/gtk-3.0, /etc/xdg),
// and data the GTK stack reads and parses (themes, icons, fonts, the display's other settings).
namespace korvane {

// Variables that make a library of the host load code from a place they name, dropped from the
// environment of a privileged start. Each names a file or directory of code (or a name the
// library turns into a path), so none selects only among modules installed on the system; those
// selectors (GSETTINGS_BACKEND, GTK_IM_MODULE, GIO_USE_VFS, GDK_BACKEND...) stay.
inline constexpr const char* kCodeLoadingVariables[] = {
    // GTK: modules loaded at start-up, by path or by name.
    "GTK_MODULES",
    "GTK3_MODULES",
    // GTK: directories searched for modules, input methods, print backends and inspector pages.
    "GTK_PATH",
    // GTK: replaces GTK's library directory, which holds its module directories and the
    // input-method cache.
    "GTK_EXE_PREFIX",
    // GTK: replaces GTK's data prefix; with GTK_EXE_PREFIX it relocates GTK as a whole, and a
    // privileged process runs GTK as it is installed.
    "GTK_DATA_PREFIX",
    // GTK: the input-method cache, which names the module files that input methods load.
    "GTK_IM_MODULE_FILE",
    // GTK: "interactive" starts the inspector, which loads its page modules through GTK's module
    // path and lets whoever sits at the display change any object of the privileged process.
    "GTK_DEBUG",
    // gdk-pixbuf: the loader cache, naming the modules that decode images, and the directory
    // its loaders are taken from.
    "GDK_PIXBUF_MODULE_FILE",
    "GDK_PIXBUF_MODULEDIR",
    // GIO: extra module directories, and a replacement for its own one. GLib ignores them in
    // secure-execution mode, not when the capabilities came through the ambient set.
    "GIO_EXTRA_MODULES",
    "GIO_MODULE_DIR",
    // The C library's iconv (GLib's character-set conversion) loads converter modules from
    // there; the C library drops it only in secure-execution mode.
    "GCONV_PATH",
    // Mesa: DRI driver directories (GDK probes GLX when it opens an X11 display), a driver name
    // it turns into a file name there, and the GBM backend's directory and name.
    "LIBGL_DRIVERS_PATH",
    "LIBGL_DRIVERS_DIR",
    "MESA_LOADER_DRIVER_OVERRIDE",
    "GBM_BACKENDS_PATH",
    "GBM_BACKEND",
    // libglvnd: the GLX vendor library's name (libGLX_<name>.so.0, a path when it has a slash)
    // and the EGL vendor files, each naming a library.
    "__GLX_VENDOR_LIBRARY_NAME",
    "__EGL_VENDOR_LIBRARY_DIRS",
    "__EGL_VENDOR_LIBRARY_FILENAMES",
    // The Vulkan loader: driver and layer manifests, each naming a library.
    "VK_ICD_FILENAMES",
    "VK_DRIVER_FILES",
    "VK_ADD_DRIVER_FILES",
    "VK_LAYER_PATH",
    "VK_ADD_LAYER_PATH",
    "VK_IMPLICIT_LAYER_PATH",
    "VK_ADD_IMPLICIT_LAYER_PATH",
};

// The directory GLib is made to report as the user's configuration directory in a privileged
// start: only root writes below it, so it holds no gtk-3.0/settings.ini of the user's.
inline constexpr const char* kPrivilegedUserConfigDir = kGrantedRoot;
// And as the system's configuration directories: the default of XDG_CONFIG_DIRS.
inline constexpr char kPrivilegedSystemConfigDirs[] = "/etc/xdg";

class SecureStart {
 public:
  // Main thread, first thing in main, before GLib or GTK run and before any thread starts.
  // 1. A granted copy of another user (see IsOtherUsersGrantedCopy) drops every capability it
  //    holds, with one line; so does a privileged start whose executable cannot be read.
  // 2. In a privileged start: without secure-execution mode, the dynamic loader has already
  //    honoured LD_PRELOAD, LD_AUDIT and LD_LIBRARY_PATH, so when one is set every capability is
  //    dropped, with one line. The inheritable and ambient sets are cleared (one line when they
  //    held anything): the programs the host starts are found through the user's PATH and must
  //    not run with its capabilities. Then the variables of kCodeLoadingVariables and the
  //    "--gtk-module" arguments are removed, with one line naming them, and GLib's configuration
  //    directories are pinned (PinConfigDirectories); if that fails every capability is dropped,
  //    with one line.
  static void Apply(int* argc, char** argv);

  // Whether Apply found a privileged start. Any thread (it is set before threads start).
  static bool Active();

  // The parts of Apply, for tests.

  // Whether the process holds any capability in its effective, permitted or ambient set.
  static bool HoldsCapabilities();
  // Clears the effective, permitted, inheritable and ambient sets; false when the kernel refused.
  static bool DropAllCapabilities();
  // Clears the inheritable and ambient sets and keeps the effective and permitted ones; *cleared
  // says whether they held anything. False when the kernel refused.
  static bool ClearInheritableCapabilities(bool* cleared);
  // True when |executable| lies below kGrantedRoot and the first component after it is not
  // |uid| in decimal: such a copy was granted to another user.
  static bool IsOtherUsersGrantedCopy(const std::string& executable, uid_t uid);
  // Removes the variables of kCodeLoadingVariables that are set; returns their names in the
  // order of the table.
  static std::vector<std::string> DropCodeLoadingVariables();
  // Removes every "--gtk-module X" (both words) and "--gtk-module=X" from argv (later arguments
  // move down, argc drops, argv stays NULL-terminated); returns what was removed, as
  // "--gtk-module" once per occurrence.
  static std::vector<std::string> RemoveGtkModuleArguments(int* argc, char** argv);
  // GTK reads settings.ini (whose gtk-modules it loads) from GLib's configuration directories,
  // which GLib takes from XDG_CONFIG_HOME and XDG_CONFIG_DIRS on first use and then keeps. Makes
  // that first use see kPrivilegedUserConfigDir and kPrivilegedSystemConfigDirs, then gives the
  // environment its values back (the host's configuration directory and its children use them).
  // False when GLib had already taken other directories.
  static bool PinConfigDirectories();

 private:
  // Set by Apply in a privileged start.
  static bool active_;
};

}  // namespace korvane

#endif  // APP_SECURE_START_H_
