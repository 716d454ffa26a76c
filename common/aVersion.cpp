#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct Feature {
  const char* key;
  const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];
}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u + (uint32_t{major} << 16) + (uint32_t{minor} << 8) + patch;
  return (uint32_t{major} << 28) + (uint32_t{minor % 16u} << 24) + patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
  uint32_t major = version >> 28;
  uint32_t minor = (version >> 24) & 0xF;
  return major < 2 || (major == 2 && minor < 15);
}

uint32_t aVersion_ParseMajor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? (version >> 24) & 0xF : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
  return snprintf(size > 0 ? buffer : nullptr, buffer ? size : 0, "%u.%u.%u",
                  aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                  aVersion_ParsePatch(version));
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  // Built once, on first use; the initialisation of a local static is thread-safe.
  static const struct Text {
    char text[15];
    Text() : text() {
      snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
               aVERSION_PATCH);
    }
  } version;
  return version.text;
}

bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB) {
  if (majorA != majorB) return majorA > majorB;
  if (minorA != minorB) return minorA > minorB;
  return patchA >= patchB;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* key) {
  if (key == nullptr) return false;
  for (const Feature& f : FEATS) {
    if (strcmp(f.key, key) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t size = 1;
  for (size_t i = 0; i < NUM_FEATS; ++i)
    size += strlen(FEATS[i].key) + 3 + strlen(FEATS[i].description) + (i > 0 ? 1 : 0);
  char* list = static_cast<char*>(calloc(size, 1));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) strcat(list, "\n");
    strcat(list, FEATS[i].key);
    strcat(list, " - ");
    strcat(list, FEATS[i].description);
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
