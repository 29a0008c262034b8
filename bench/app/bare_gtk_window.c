/* The cold-start baseline of the UI bridge benchmark: a bare GTK 3 program that exits as soon
 * as its first window is mapped. */
#include <gtk/gtk.h>
#include <stdlib.h>

static gboolean on_map(GtkWidget* widget, GdkEvent* event, gpointer data) {
  (void)widget;
  (void)event;
  (void)data;
  exit(0);
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1280, 720);
  g_signal_connect(window, "map-event", G_CALLBACK(on_map), NULL);
  gtk_widget_show(window);
  gtk_main();
  return 1;
}
