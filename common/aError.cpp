#include "aError.h"

namespace {
// Both tables are indexed by code and hold one entry per code up to aErrUnknown.
const char* const kNames[] = {
    "aErrNone",          "aErrMemory",        "aErrParam",          "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",         "aErrIO",             "aErrMode",
    "aErrWrite",         "aErrRead",          "aErrEOF",            "aErrNotReady",
    "aErrPermission",    "aErrRange",         "aErrSize",           "aErrOverrun",
    "aErrParse",         "aErrConfiguration", "aErrTimeout",        "aErrInitialization",
    "aErrVersion",       "aErrUnimplemented", "aErrDuplicate",      "aErrCancel",
    "aErrPacket",        "aErrConnection",    "aErrIndexRange",     "aErrShortCommand",
    "aErrInvalidEntity", "aErrInvalidOption", "aErrResource",       "aErrMedia",
    "aErrAsyncReturn",   "aErrStreamStale",   "aErrUnknown",
};

const char* const kDescriptions[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Quarkwire command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof kNames / sizeof kNames[0] == aErrUnknown + 1, "one name per code");
static_assert(sizeof kDescriptions / sizeof kDescriptions[0] == aErrUnknown + 1,
              "one description per code");
}  // namespace

const char* aError_GetErrorText(aErr code) {
  return kNames[code > aErrUnknown ? aErr{aErrUnknown} : code];
}

const char* aError_GetErrorDescription(aErr code) {
  return kDescriptions[code > aErrUnknown ? aErr{aErrUnknown} : code];
}
