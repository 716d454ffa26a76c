#pragma once
// The local firmware store: a base folder holding one folder per module, named by its
// serial number as eight upper-case hex digits, each with an attribute file (".settings")
// and the BIRD files downloaded for the module ("BUILD.bird"). Nothing is indexed:
// every query lists the folders afresh.

#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aErr.h"

typedef enum {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
} store_item_t;

class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads (or creates) the attribute file directory/name/.settings.
  UpdaterStoreItem(const char* directory, const char* name, store_item_t kind);

  bool IsValid() const { return !directory.empty() && !name.empty(); }
  // Replaces directory/name/fileName whole with the bytes. aErrNotFound when bytes is null or
  // the file cannot be created, aErrIO when writing fails.
  aErr WriteFile(const char* fileName, const unsigned char* bytes, unsigned long length);
  // Loads directory/name/fileName; throws std::runtime_error when it is not a BIRD file or
  // does not load.
  BirdFile ReadBirdFile(const char* fileName);
  // Whether an entry of directory/name has a name containing fileName.
  bool FileExists(const char* fileName);

  std::string directory;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore attributes;
};

class UpdaterStore {
 public:
  // Ensures the base folder (mode 0755, with parents); throws std::runtime_error when it
  // cannot be made or a non-folder is in its place.
  explicit UpdaterStore(const char* basePath);

  const char* BasePath() const { return basePath.c_str(); }
  UpdaterStoreItem AddDevice(unsigned int serial);
  UpdaterStoreItem AddDevice(const char* name);
  // Finds the first entry of the base folder whose name contains `name`.
  bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
  bool FindDevice(const char* name, UpdaterStoreItem* item);
  // Appends one item per entry of the module's folder, hidden entries excepted.
  bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

  std::string basePath;
};
