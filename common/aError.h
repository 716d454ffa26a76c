#pragma once
// Names and descriptions of the aErr codes.

#include "aErr.h"

// The code's name, such as "aErrParam"; codes above aErrUnknown give "aErrUnknown".
const char* aError_GetErrorText(aErr code);

// The code's description, such as "Invalid parameter"; codes above aErrUnknown give
// "Unknown error".
const char* aError_GetErrorDescription(aErr code);
