// The executable's entry point: wait for a restarting parent, then run the GTK application.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/my_application.h"
#include "app/parent_wait.h"

int main(int argc, char** argv) {
  const long parent_pid = korvane::TakeWaitForParentArgument(&argc, argv);
  korvane::WaitForParentExit(parent_pid);

  g_autoptr(MyApplication) app = my_application_new();
  return g_application_run(G_APPLICATION(app), argc, argv);
}
