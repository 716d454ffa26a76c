#pragma once
// A background file logger: a thread that calls a pump function over and over while the
// logger is enabled. The pump writes what it has to the log file and waits briefly when it
// has nothing.

#include <cstdint>

#include "aErr.h"
#include "aFile.h"

typedef struct aLogger aLogger;

// Writes pending records to the file; the result is ignored.
typedef aErr (*aLoggerPump)(aFile* file, uint32_t identifier);

// Opens the log path for appending (unbuffered); null when it cannot be opened.
aLogger* aLogger_Create(uint32_t identifier, aLoggerPump pump, const char* path);
// Starts the logger thread unless it runs already; aErrResource when it cannot start.
aErr aLogger_Enable(aLogger* logger);
// Stops the thread and waits for it. Called by the pump itself it does nothing.
aErr aLogger_Disable(aLogger* logger);
// Stops, closes the file and frees the logger. An invalid logger is accepted.
aErr aLogger_Destroy(aLogger** logger);
