#ifndef APP_MY_APPLICATION_H_
#define APP_MY_APPLICATION_H_

#include <gtk/gtk.h>

G_DECLARE_FINAL_TYPE(MyApplication, my_application, MY, APPLICATION, GtkApplication)

// Creates the Korvane GTK application ("com.quorandel.korvane", not unique: every launch is its
// own process). Transfer full.
MyApplication* my_application_new();

#endif  // APP_MY_APPLICATION_H_
