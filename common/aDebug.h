#pragma once
// Process-wide debug switches of the device library. Both start at 0 and the library never
// changes them, so its trace output stays off unless a host program sets them (before it
// starts any link or server thread). A trace is printed only when the switch is on and the
// category's bit is set in the level mask; every trace is followed by a flush of stdout.

#include <cstdint>
#include <cstdio>

extern uint8_t aQuarkwireDebuggingEnable;   // 0 or 1
extern uint32_t aQuarkwireDebuggingLevel;   // mask of the categories below

enum : uint32_t {
  aDEBUG_LINK = 0x1,          // link engine, link table and link object
  aDEBUG_PACKETS = 0x2,       // packet traffic of the link engine
  aDEBUG_SERVER = 0x4,        // link-sharing server
  aDEBUG_MULTICAST = 0x8,     // multicast sockets
  aDEBUG_DISCOVERY = 0x10,    // network discovery
  aDEBUG_CLIENT = 0x20,       // network client stream
  aDEBUG_CONNECTION = 0x40,   // module connection
  aDEBUG_BEACON = 0x200,      // beacon interface
  aDEBUG_USB = 0x400,         // USB transfers
};

// True when traces of the category are to be printed.
static inline bool aDebug_On(uint32_t category) {
  return aQuarkwireDebuggingEnable && (aQuarkwireDebuggingLevel & category) != 0;
}

// Prints a trace of the category to stdout and flushes it. The arguments are evaluated
// only when the category is on.
#define aDEBUG_PRINTF(category, ...)   \
  do {                                 \
    if (aDebug_On(category)) {         \
      printf(__VA_ARGS__);             \
      fflush(stdout);                  \
    }                                  \
  } while (0)
