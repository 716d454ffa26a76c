#pragma once

#include "UpdaterCommands.h"
#include "UpdaterDisplayInterface.h"

// The whole program behind `main`: parse, dispatch, return the exit status (0 or 1).
int UpdaterMain(int argc, char** argv);

// Everything UpdaterMain does once the display exists and the log points at standard error:
// parses the command line, prints the version line and usage, creates the storage directory,
// then runs the requested commands on the updater that makeUpdater returns. Returns 0 or 1.
int RunCommandLine(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& makeUpdater);
