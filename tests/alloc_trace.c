/* Allocation tracer for the tests, loaded with LD_PRELOAD.
 *
 * trace_start(lo, hi) records every malloc/calloc called from code in the
 * address range [lo, hi) (the shared object under test) and every later free
 * of such a block, so a test can see exactly when that object allocates and
 * releases memory, undisturbed by the interpreter's own allocations.  The
 * tests read the events with trace_count() and trace_event(). */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void __libc_free(void *);

enum { kMaxEvents = 1024, kMaxLive = 256 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static uintptr_t range_lo, range_hi;
static struct { char kind; size_t bytes; } events[kMaxEvents];
static int event_count;
static struct { void *ptr; size_t bytes; } live[kMaxLive];
static int live_count;

static void add_event(char kind, size_t bytes) {
  if (event_count < kMaxEvents) {
    events[event_count].kind = kind;
    events[event_count].bytes = bytes;
  }
  ++event_count;
}

static void *allocated(void *ptr, size_t bytes, void *caller) {
  uintptr_t at = (uintptr_t)caller;
  if (!ptr || at < range_lo || at >= range_hi) return ptr;
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

void *malloc(size_t bytes) { return allocated(__libc_malloc(bytes), bytes, __builtin_return_address(0)); }

void *calloc(size_t count, size_t size) {
  return allocated(__libc_calloc(count, size), count * size, __builtin_return_address(0));
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
  range_lo = lo;
  range_hi = hi;
  event_count = 0;
  pthread_mutex_unlock(&lock);
}

int trace_count(void) { return event_count; }

/* Kind ('a' allocation, 'f' release) of event i; its size in *bytes. */
int trace_event(int i, size_t *bytes) {
  if (i < 0 || i >= event_count || i >= kMaxEvents) return 0;
  *bytes = events[i].bytes;
  return events[i].kind;
}
