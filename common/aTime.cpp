#include "aTime.h"

#include <sys/time.h>

#include <cerrno>
#include <ctime>

uint64_t aTime_GetMSTicks(void) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

uint64_t aTime_GetMonotonicMS(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Sleeps one piece of less than a second; nanosleep continues with the remainder after a
// signal, and the remainder only shrinks, so the loop ends.
static void sSleepMicroseconds(uint32_t usec) {
  struct timespec req;
  req.tv_sec = 0;
  req.tv_nsec = static_cast<long>(usec) * 1000L;
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

aErr aTime_MSSleep(uint64_t msec) {
  if (msec == 0) return aErrNone;
  uint64_t left = msec * 1000u;
  while (left > 0) {
    uint32_t piece = left > 999999u ? 999999u : static_cast<uint32_t>(left);
    sSleepMicroseconds(piece);
    left -= piece;
  }
  return aErrNone;
}
