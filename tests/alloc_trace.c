/* Allocation tracer and failing allocator for the tests, loaded with LD_PRELOAD.
 *
 * trace_start(lo, hi) records every malloc/calloc called from code in the
 * address range [lo, hi) (the shared object under test) and every later free
 * of such a block, so a test can see exactly when that object allocates and
 * releases memory, undisturbed by the interpreter's own allocations.  The
 * tests read the events with trace_count() and trace_event().
 *
 * fail_allocation(nth, min_bytes) makes the nth (counted from 1) malloc or
 * calloc of at least min_bytes bytes return NULL, once.  Only calls from the
 * traced range count once trace_start has set one (and trace_start restarts
 * the count); before that every call counts.  The environment variable
 * ALLOC_FAIL="nth min_bytes" arms it at load, for programs that cannot call
 * it themselves. */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void __libc_free(void *);

enum { kMaxEvents = 1024, kMaxLive = 256 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int range_set;
static uintptr_t range_lo, range_hi;
static struct { char kind; size_t bytes; } events[kMaxEvents];
static int event_count;
static struct { void *ptr; size_t bytes; } live[kMaxLive];
static int live_count;
static long fail_nth;  /* 0: nothing armed */
static size_t fail_min_bytes;
static long fail_seen;  /* qualifying calls counted so far */

static int in_range(void *caller) {
  uintptr_t at = (uintptr_t)caller;
  return at >= range_lo && at < range_hi;
}

/* Whether this call is the armed one; disarms it when it is. */
static int must_fail(size_t bytes, void *caller) {
  int fail = 0;
  if (!fail_nth || bytes < fail_min_bytes || (range_set && !in_range(caller))) return 0;
  pthread_mutex_lock(&lock);
  if (fail_nth && ++fail_seen == fail_nth) {
    fail_nth = 0;
    fail = 1;
  }
  pthread_mutex_unlock(&lock);
  return fail;
}

static void add_event(char kind, size_t bytes) {
  if (event_count < kMaxEvents) {
    events[event_count].kind = kind;
    events[event_count].bytes = bytes;
  }
  ++event_count;
}

static void *allocated(void *ptr, size_t bytes, void *caller) {
  if (!ptr || !in_range(caller)) return ptr;
  pthread_mutex_lock(&lock);
  add_event('a', bytes);
  if (live_count < kMaxLive) {
    live[live_count].ptr = ptr;
    live[live_count].bytes = bytes;
    ++live_count;
  }
  pthread_mutex_unlock(&lock);
  return ptr;
}

void *malloc(size_t bytes) {
  void *caller = __builtin_return_address(0);
  if (must_fail(bytes, caller)) return NULL;
  return allocated(__libc_malloc(bytes), bytes, caller);
}

void *calloc(size_t count, size_t size) {
  void *caller = __builtin_return_address(0);
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) bytes = SIZE_MAX;  /* the allocator refuses it */
  if (must_fail(bytes, caller)) return NULL;
  return allocated(__libc_calloc(count, size), bytes, caller);
}

void free(void *ptr) {
  if (ptr && live_count) {
    pthread_mutex_lock(&lock);
    for (int i = 0; i < live_count; ++i) {
      if (live[i].ptr == ptr) {
        add_event('f', live[i].bytes);
        live[i] = live[--live_count];
        break;
      }
    }
    pthread_mutex_unlock(&lock);
  }
  __libc_free(ptr);
}

void trace_start(uintptr_t lo, uintptr_t hi) {
  pthread_mutex_lock(&lock);
  range_set = 1;
  range_lo = lo;
  range_hi = hi;
  event_count = 0;
  fail_seen = 0;
  pthread_mutex_unlock(&lock);
}

int trace_count(void) { return event_count; }

/* Kind ('a' allocation, 'f' release) of event i; its size in *bytes. */
int trace_event(int i, size_t *bytes) {
  if (i < 0 || i >= event_count || i >= kMaxEvents) return 0;
  *bytes = events[i].bytes;
  return events[i].kind;
}

void fail_allocation(long nth, size_t min_bytes) {
  pthread_mutex_lock(&lock);
  fail_nth = nth;
  fail_min_bytes = min_bytes;
  fail_seen = 0;
  pthread_mutex_unlock(&lock);
}

__attribute__((constructor)) static void arm_from_environment(void) {
  const char *setting = getenv("ALLOC_FAIL");
  char *end;
  if (!setting) return;
  long nth = strtol(setting, &end, 10);
  fail_allocation(nth, (size_t)strtoull(end, NULL, 10));
}
