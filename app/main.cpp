#include "UpdaterMain.h"

int main(int argc, char** argv) { return UpdaterMain(argc, argv); }
