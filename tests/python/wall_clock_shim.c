/* Preloaded into one test process: shifts that process's wall clock, and nothing else.
 *
 * The offset, in nanoseconds, is the first 8 bytes of the file TYVO_TEST_WALL_OFFSET_FILE, which
 * the test rewrites to step the clock. The monotonic clock, every timer the kernel keeps and
 * every other process are untouched: only what this process reads as the time of day moves, as
 * it would after an operator's `date -s` (minus the kernel's notice of the step, which the
 * scheduler must not depend on). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static const volatile int64_t *offset_ns;

static int64_t offset(void) {
  if (offset_ns == NULL) {
    const char *path = getenv("TYVO_TEST_WALL_OFFSET_FILE");
    int fd = path != NULL ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return 0;
    void *mapped = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) return 0;
    offset_ns = mapped;
  }
  return __atomic_load_n(offset_ns, __ATOMIC_RELAXED);
}

static int real_clock_gettime(clockid_t clock, struct timespec *now) {
  static clock_gettime_fn real;
  if (real == NULL) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
  return real(clock, now);
}

static void shift(struct timespec *now) {
  int64_t total = (int64_t)now->tv_sec * 1000000000 + now->tv_nsec + offset();
  now->tv_sec = total / 1000000000;
  now->tv_nsec = total % 1000000000;
  if (now->tv_nsec < 0) {
    now->tv_nsec += 1000000000;
    now->tv_sec -= 1;
  }
}

int clock_gettime(clockid_t clock, struct timespec *now) {
  int result = real_clock_gettime(clock, now);
  if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) shift(now);
  return result;
}

int gettimeofday(struct timeval *restrict now, void *restrict zone) {
  (void)zone;
  struct timespec precise;
  if (clock_gettime(CLOCK_REALTIME, &precise) != 0) return -1;
  if (now != NULL) {
    now->tv_sec = precise.tv_sec;
    now->tv_usec = precise.tv_nsec / 1000;
  }
  return 0;
}

time_t time(time_t *out) {
  struct timespec precise;
  clock_gettime(CLOCK_REALTIME, &precise);
  if (out != NULL) *out = precise.tv_sec;
  return precise.tv_sec;
}
