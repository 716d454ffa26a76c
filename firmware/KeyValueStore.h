#pragma once
// An attribute file: plain text lines "key=value", held in memory as an ordered map. Lines
// starting with "#" are comments, lines shorter than three characters are ignored, white
// space around keys and values is dropped, and the last line for a key wins. Saving writes
// one "key=value" line per entry in key order, replacing the file whole.

#include <map>
#include <string>

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  explicit KeyValueStore(const char* path = nullptr);

  // Merges the entries of the file into the store. A file that does not exist is created
  // with the two time stamps; one that exists but cannot be read is left alone.
  void Load(const char* path);
  // Writes the store to `path` (or to the path it was loaded from or saved to, or to
  // ".settings"); stamps UPDATED_TIME first when something changed.
  void Save(const char* path = nullptr);

  // The typed getters add a missing key with an empty value (without marking the store
  // modified) and return the default for an empty value.
  int GetInt(const char* key, int def);
  unsigned int GetHex(const char* key, unsigned int def);
  bool GetBOOL(const char* key, bool def);
  double GetDouble(const char* key, double def);
  // The value when the key exists (even empty), else `def` (or "" when it is null).
  std::string GetString(const char* key, const char* def) const;
  // The value's text, or null when the key does not exist.
  const char* operator[](const char* key) const;

  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool AddHex(const char* key, unsigned int value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  // Parses one line of the file into the entries (no file access; Load feeds it).
  void ParseLine(const std::string& line);
  // The text Save writes.
  std::string Serialize() const;

  std::string path;
  std::map<std::string, std::string> entries;
  bool modified = false;

 private:
  // Reads the file into the entries; false (with the system error number) when it cannot
  // be opened or is not a plain file.
  bool ReadFile(const char* file, int* sysError);
  // A file that exists but could not be read; Save never replaces it.
  std::string unreadablePath;
};
