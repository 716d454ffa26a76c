#pragma once
// Captures the diagnostic log in memory while alive, with the given packages enabled;
// afterwards the log has no output and no package enabled.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace testlog {

struct LogCapture {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  explicit LogCapture(uint32_t packages = 0) {
    Log::package_bitmask = packages;
    Log::SetOutput(f);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    fclose(f);
    free(data);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() {
    fflush(f);
    return std::string(data, size);
  }
};

}  // namespace testlog
