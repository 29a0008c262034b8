// The executable's entry point: secure a privileged start, wait for a restarting parent, then
// run the GTK application.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/font_caches.h"
#include "app/my_application.h"
#include "app/parent_wait.h"
#include "app/secure_start.h"

int main(int argc, char** argv) {
  // Before anything else can read the environment or the arguments.
  korvane::SecureStart::Apply(&argc, argv);
  const long parent_pid = korvane::TakeWaitForParentArgument(&argc, argv);
  korvane::WaitForParentExit(parent_pid);

  MyApplication* app = my_application_new();
  const int status = g_application_run(G_APPLICATION(app), argc, argv);
  g_object_unref(app);
#if defined(__SANITIZE_ADDRESS__)
  // Leak-checked builds end with no cache left, so whatever is still reported is a real leak.
  korvane::ReleaseFontCaches();
#endif
  return status;
}
