#pragma once
// The packed firmware version word and the library's own version and features.
//
// A version word has one of two layouts. Legacy (versions below 2.15): major in bits 31-28,
// minor in bits 27-24, patch in bits 23-0 (packing writes only its low 8 bits). Current
// (2.15 and later): 0x2F in bits 31-24, then major, minor and patch bytes. A legacy word
// never has the top byte 0x2F (that would read as 2.15), which tells the two apart.

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 3
#define aVERSION_PHASE "."

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// True when the word is in the legacy layout (top nibble below 2, or 2 with the next
// nibble below 15).
bool aVersion_IsLegacyFormat(uint32_t version);

uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);

// Writes "major.minor.patch" into buffer (at most size bytes, terminated when size > 0);
// returns the length the full text has, as snprintf does.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);

// The library version text, "2.12.3".
const char* aVersion_GetString(void);

// True when the library version is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when version A is at least version B.
bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB);

// True when the library has a feature with this key (case matters).
bool aVersion_HasFeature(const char* key);

// A new text listing the features, "KEY - description" separated by newlines; null when
// memory runs out. Free it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);

// Frees a feature list and sets *list to null.
void aVersion_DestroyFeatureList(char** list);
