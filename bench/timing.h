/* Wall clock and median for the C benchmarks in this folder. */
#ifndef OMBRIX_BENCH_TIMING_H
#define OMBRIX_BENCH_TIMING_H

#include <stdlib.h>
#include <time.h>

static inline double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + 1e-9 * t.tv_nsec;
}

static inline int compare_doubles(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Median of v[0..count), which it sorts. */
static inline double median(double *v, int count) {
  qsort(v, count, sizeof *v, compare_doubles);
  return count % 2 ? v[count / 2] : 0.5 * (v[count / 2 - 1] + v[count / 2]);
}

#endif
