#include "aDebug.h"

uint8_t aQuarkwireDebuggingEnable = 0;
uint32_t aQuarkwireDebuggingLevel = 0;
