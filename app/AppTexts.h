#pragma once
// The fixed texts of the command line: the version line, the notice line and the usage text.

#include <string>

#include "UpdaterDisplayInterface.h"

extern const char* const kAppName;
extern const char* const kAppVersion;

// "Updater (Version: ...)" at info level.
void _display_app_version(UpdaterDisplayInterface& display);
// The line printed under the version line whenever usage is shown, at info level.
void _display_notice(UpdaterDisplayInterface& display);
// The usage text, straight to standard error: the basic block, and with `full` the parameter
// and sample blocks, with the extended block between them when `extended` is also set.
void _display_usage(bool extended, bool full);

// The text _display_usage writes.
std::string UsageText(bool extended, bool full);
