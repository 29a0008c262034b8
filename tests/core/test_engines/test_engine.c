/* An engine library built for the binding's tests. It meets the engine's C contract, records
 * every call in a journal, and lets a test choose each call's result through the test_engine_*
 * controls (reached with dlopen(..., RTLD_NOLOAD) on the copy the binding loaded). Built once
 * complete and once without start_service, to play a library that lacks an entry point. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/libbox.h"

#define EXPORT __attribute__((visibility("default")))

static char journal[16384];
static int setup_code;
static int create_code;
static int start_code;
static int stop_code;
static int status_value;
static char* last_error;   /* NULL: the engine has no message */
static char* version_text; /* NULL: the engine has no version */
static int live_strings;   /* strings handed out and not yet freed */

/* Appends one entry to the journal, entries separated by ';'. */
static void Record(const char* format, ...) {
  size_t used = strlen(journal);
  if (used > 0 && used + 1 < sizeof(journal)) {
    journal[used++] = ';';
    journal[used] = '\0';
  }
  va_list args;
  va_start(args, format);
  vsnprintf(journal + used, sizeof(journal) - used, format, args);
  va_end(args);
}

static char* CopyOrNull(const char* text) {
  return text != NULL ? strdup(text) : NULL;
}

static char* HandOut(const char* text) {
  if (text == NULL) {
    return NULL;
  }
  live_strings++;
  return strdup(text);
}

EXPORT void test_engine_reset(void) {
  journal[0] = '\0';
  setup_code = create_code = start_code = stop_code = status_value = 0;
  free(last_error);
  last_error = NULL;
  free(version_text);
  version_text = strdup("test-engine 1.0");
  live_strings = 0;
}

EXPORT void test_engine_set_codes(int setup, int create, int start, int stop) {
  setup_code = setup;
  create_code = create;
  start_code = start;
  stop_code = stop;
}

EXPORT void test_engine_set_status(int status) {
  status_value = status;
}

EXPORT void test_engine_set_last_error(const char* text) {
  free(last_error);
  last_error = CopyOrNull(text);
}

EXPORT void test_engine_set_version(const char* text) {
  free(version_text);
  version_text = CopyOrNull(text);
}

EXPORT const char* test_engine_journal(void) {
  return journal;
}

EXPORT int test_engine_live_strings(void) {
  return live_strings;
}

/* The contract's entry points. */

EXPORT int setup_libbox(const char* base_path, const char* working_path, const char* temp_path) {
  const char* chown = getenv("LIBBOX_DISABLE_CHOWN");
  Record("setup_libbox(%s,%s,%s,LIBBOX_DISABLE_CHOWN=%s)", base_path, working_path, temp_path,
         chown != NULL ? chown : "(unset)");
  return setup_code;
}

EXPORT const char* get_version(void) {
  Record("get_version");
  return HandOut(version_text);
}

EXPORT int create_service(const char* config_json) {
  Record("create_service(%s)", config_json);
  return create_code;
}

#ifndef TEST_ENGINE_WITHOUT_START_SERVICE
EXPORT int start_service(void) {
  Record("start_service");
  return start_code;
}
#endif

EXPORT int stop_service(void) {
  Record("stop_service");
  return stop_code;
}

EXPORT int get_status(void) {
  Record("get_status");
  return status_value;
}

EXPORT const char* get_last_error(void) {
  Record("get_last_error");
  return HandOut(last_error);
}

EXPORT void free_string(const char* text) {
  Record("free_string");
  if (text != NULL) {
    live_strings--;
    free((void*)text);
  }
}

/* Starts every load in the default state, whatever a previous load of the same file left. */
__attribute__((constructor)) static void TestEngineLoad(void) {
  test_engine_reset();
}

__attribute__((destructor)) static void TestEngineUnload(void) {
  free(last_error);
  last_error = NULL;
  free(version_text);
  version_text = NULL;
}
