// A child for the sanitizer checks: each mode does one thing the checker must see (or, for the
// "clean" modes, the same work done correctly), through GLib as the host's own code does.
//   sanitizer_probe leak-strdup | leak-new0 | clean   (AddressSanitizer build)
//   sanitizer_probe race-hash-table | locked-hash-table   (ThreadSanitizer build)

#include <glib.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

typedef struct {
  int id;
  char* name;
} ProbeRecord;

// Keeps the pointer out of registers and the stack until main returns, then drops it.
static void* volatile last_allocation_;

static void LeakAString(void) {
  last_allocation_ = g_strdup("probe string nobody frees");
  last_allocation_ = NULL;
}

static void LeakARecord(void) {
  ProbeRecord* record = g_new0(ProbeRecord, 1);
  record->id = 7;
  last_allocation_ = record;
  last_allocation_ = NULL;
}

static void FreeAString(void) {
  char* text = g_strdup("probe string freed");
  last_allocation_ = text;
  last_allocation_ = NULL;
  g_free(text);
}

enum { kInsertsPerThread = 100 };

static GHashTable* shared_table_;
// A lock TSan can see.
static pthread_mutex_t table_lock_ = PTHREAD_MUTEX_INITIALIZER;
static gboolean use_lock_;
// Unlocked, the second thread starts inserting once the first is done, ordered only through
// GLib's own atomics, which TSan does not see: to TSan this is two threads inserting without a
// lock, yet the table is never corrupted (truly simultaneous inserts can make it loop forever).
static gint first_done_;

static void InsertRange(int base) {
  for (int i = 0; i < kInsertsPerThread; i++) {
    if (use_lock_) {
      pthread_mutex_lock(&table_lock_);
    }
    g_hash_table_insert(shared_table_, GINT_TO_POINTER(base + i + 1), GINT_TO_POINTER(i));
    if (use_lock_) {
      pthread_mutex_unlock(&table_lock_);
    }
  }
}

static gpointer InsertFirst(gpointer data) {
  (void)data;
  InsertRange(0);
  (g_atomic_int_set)(&first_done_, 1);
  return NULL;
}

static gpointer InsertSecond(gpointer data) {
  (void)data;
  while (!use_lock_ && !(g_atomic_int_get)(&first_done_)) {
    g_thread_yield();
  }
  InsertRange(1000000);
  return NULL;
}

static int InsertFromTwoThreads(gboolean locked) {
  use_lock_ = locked;
  shared_table_ = g_hash_table_new(g_direct_hash, g_direct_equal);
  GThread* first = g_thread_new("probe-inserter-1", InsertFirst, NULL);
  GThread* second = g_thread_new("probe-inserter-2", InsertSecond, NULL);
  g_thread_join(first);
  g_thread_join(second);
  guint size = g_hash_table_size(shared_table_);
  g_hash_table_unref(shared_table_);
  printf("%u entries\n", size);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODE\n", argv[0]);
    return 2;
  }
  const char* mode = argv[1];
  if (strcmp(mode, "leak-strdup") == 0) {
    LeakAString();
  } else if (strcmp(mode, "leak-new0") == 0) {
    LeakARecord();
  } else if (strcmp(mode, "clean") == 0) {
    FreeAString();
  } else if (strcmp(mode, "race-hash-table") == 0) {
    return InsertFromTwoThreads(FALSE);
  } else if (strcmp(mode, "locked-hash-table") == 0) {
    return InsertFromTwoThreads(TRUE);
  } else {
    fprintf(stderr, "unknown mode %s\n", mode);
    return 2;
  }
  return 0;
}
