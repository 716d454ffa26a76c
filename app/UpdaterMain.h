#pragma once

// The whole program behind `main`: parse, dispatch, return the exit status (0 or 1).
int UpdaterMain(int argc, char** argv);
