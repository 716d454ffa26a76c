#include "UpdaterMain.h"

int UpdaterMain(int, char**) { return 1; }
