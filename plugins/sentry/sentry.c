// Stands in for the crash reporter's native library: the executable links it but the host
// never calls into it.
int sentry_library_anchor(void);

int sentry_library_anchor(void) {
  return 0;
}
