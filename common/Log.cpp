#include "Log.h"

#include <cstdarg>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask) == 0) return;
  FILE* out = fh;
  if (!out) return;
  // One buffer per call and one write per message, so lines from the download worker
  // and the main thread never interleave inside a message.
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  fwrite(buf, 1, len, out);
}

void Log::SetOutput(FILE* f) { fh = f; }
void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
