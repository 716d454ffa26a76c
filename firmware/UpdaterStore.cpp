#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "FileReplace.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

std::string serialName(unsigned int serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

void ensureDirectory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
      return;
    }
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
  aErr err = aDirectory_Ensure(path.c_str(), 0755);
  // Ensure reports success for a last component that is something other than a folder,
  // so the result is checked on the file system too.
  if (err == aErrNone && !aDirectory_Exists(path.c_str())) err = aErrPermission;
  if (err != aErrNone)
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(err));
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool isDotEntry(const char* name) { return !std::strcmp(name, ".") || !std::strcmp(name, ".."); }

struct FindState {
  const char* wanted;
  bool found = false;
  std::string directory;
  std::string name;
  bool isDirectory = false;
};

bool findProc(const aDirectoryListData* d, void* ref) {
  auto* s = static_cast<FindState*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", d->path,
           static_cast<int>(d->isDirectory), static_cast<int>(d->size), s->wanted);
  const char* name = baseName(d->path);
  if (isDotEntry(name) || !std::strstr(name, s->wanted)) return true;
  s->found = true;
  s->directory.assign(d->path, static_cast<size_t>(name - d->path - (name > d->path ? 1 : 0)));
  s->name = name;
  s->isDirectory = d->isDirectory != 0;
  return false;
}

struct ListState {
  std::string folder;
  std::vector<std::pair<std::string, bool>> entries;
};

bool listProc(const aDirectoryListData* d, void* ref) {
  auto* s = static_cast<ListState*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", d->path,
           static_cast<int>(d->isDirectory), static_cast<int>(d->size));
  const char* name = baseName(d->path);
  if (name[0] != '.') s->entries.emplace_back(name, d->isDirectory != 0);
  return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const char* dir, const char* n, store_item_t k)
    : directory(dir ? dir : ""), name(n ? n : ""), kind(k) {
  attributes.Load(BuildPath(directory.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* bytes, unsigned long length) {
  if (!bytes || !fileName) return aErrNotFound;
  std::string target = BuildPath(directory.c_str(), name.c_str(), fileName, nullptr);
  int sysError = 0;
  aErr err = ReplaceFileWhole(target, bytes, length, &sysError);
  if (err != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s] (%s)\n", static_cast<int>(err),
             target.c_str(), std::strerror(sysError));
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
  std::string target = BuildPath(directory.c_str(), name.c_str(), fileName ? fileName : "", nullptr);
  if (!BirdFile::VerifyFile(target.c_str())) throw std::runtime_error("Invalid bird " + target);
  return BirdFile(target.c_str());
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
  std::string folder = BuildPath(directory.c_str(), name.c_str(), nullptr);
  FindState state;
  state.wanted = fileName ? fileName : "";
  aDirectory_List(folder.c_str(), findProc, &state);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", state.found ? "Found" : "Not Found",
           state.wanted);
  return state.found;
}

UpdaterStore::UpdaterStore(const char* base) : basePath(base ? base : "") {
  if (basePath.empty()) throw std::runtime_error("UpdaterStore: no base directory given");
  ensureDirectory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
  return AddDevice(serialName(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  const char* n = name ? name : "";
  ensureDirectory(BuildPath(basePath.c_str(), n, nullptr));
  return UpdaterStoreItem(basePath.c_str(), n, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
  return FindDevice(serialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  FindState state;
  state.wanted = name ? name : "";
  aDirectory_List(basePath.c_str(), findProc, &state);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", state.found ? "Found" : "Not Found",
           state.wanted);
  if (state.found && item)
    *item = UpdaterStoreItem(state.directory.c_str(), state.name.c_str(),
                             state.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return state.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  ListState state;
  state.folder = BuildPath(device.directory.c_str(), device.name.c_str(), nullptr);
  aDirectory_List(state.folder.c_str(), listProc, &state);
  for (const auto& e : state.entries)
    items.emplace_back(state.folder.c_str(), e.first.c_str(),
                       e.second ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}
