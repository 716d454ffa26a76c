#pragma once
// Module model numbers and their display names.

#include <cstdint>

// The display name of a model number, or "Unknown" for a number with no model.
const char* aDefs_GetModelName(uint32_t model);
