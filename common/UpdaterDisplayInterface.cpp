#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted) return;
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0) buf[0] = '\0';
  if (level == LEVEL_ERROR)
    error_message(buf);
  else
    info_message(buf);
}
