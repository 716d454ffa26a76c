#include "KeyValueStore.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "FileReplace.h"
#include "Log.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

// ctime text of the current local time without its newline.
std::string now() {
  char text[32] = {0};
  time_t t = time(nullptr);
  if (!ctime_r(&t, text)) return std::string();
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
  return std::string(text, n);
}

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

KeyValueStore::KeyValueStore(const char* file) {
  if (file) Load(file);
}

void KeyValueStore::Load(const char* file) {
  if (!file || !*file) return;
  int sysError = 0;
  if (!ReadFile(file, &sysError)) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", file,
             sysError);
    if (sysError == ENOENT || sysError == ENOTDIR) {
      // Nothing there yet: start the history with its creation time.
      Add(KEY_CREATED_TIME, now().c_str());
      Save(file);
    } else {
      // Something is there that cannot be read: keep it, and refuse to save over it.
      Log::log(DEBUG_Attributes, "Attibutes: leaving unreadable attributes file '%s' alone\n", file);
      path = file;
      unreadablePath = file;
    }
    return;
  }
  path = file;
  unreadablePath.clear();
  modified = false;
}

void KeyValueStore::Save(const char* file) {
  if (file) {
    path = file;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }
  if (modified) Add(KEY_UPDATED_TIME, now().c_str());
  if (!unreadablePath.empty() && path == unreadablePath) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - not replacing unreadable attributes file: '%s'\n",
             path.c_str());
    return;
  }
  std::string text = Serialize();
  int sysError = 0;
  aErr err = ReplaceFileWhole(path, text.data(), text.size(), &sysError);
  if (err == aErrNotFound) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), sysError);
    return;
  }
  if (err != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             path.c_str(), sysError);
    return;
  }
  modified = false;
}

void KeyValueStore::ParseLine(const std::string& raw) {
  // Text after a NUL byte is not part of the line.
  std::string line = raw.substr(0, raw.find('\0'));
  if (line.size() < 3 || line[0] == '#') return;
  size_t pos = 0;
  while (pos < line.size() && isSpace(line[pos])) ++pos;
  size_t eq = line.find('=', pos);
  size_t keyEnd = eq == std::string::npos ? line.size() : eq;
  size_t k = keyEnd;
  while (k > pos && isSpace(line[k - 1])) --k;
  std::string key = line.substr(pos, k - pos);
  std::string value;
  if (eq != std::string::npos) {
    size_t v = eq + 1;
    while (v < line.size() && isSpace(line[v])) ++v;
    size_t e = line.size();
    while (e > v && isSpace(line[e - 1])) --e;
    value = line.substr(v, e - v);
  }
  entries[key] = value;
}

std::string KeyValueStore::Serialize() const {
  std::string text;
  for (const auto& e : entries) {
    text += e.first;
    text += '=';
    text += e.second;
    text += '\n';
  }
  return text;
}

int KeyValueStore::GetInt(const char* key, int def) {
  if (!key) return def;
  const std::string& v = entries[key];
  return v.empty() ? def : std::atoi(v.c_str());
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int def) {
  if (!key) return def;
  const std::string& v = entries[key];
  return v.empty() ? def : static_cast<unsigned int>(std::strtol(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
  if (!key) return def;
  const std::string& v = entries[key];
  return v.empty() ? def : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double def) {
  if (!key) return def;
  const std::string& v = entries[key];
  return v.empty() ? def : std::atof(v.c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
  if (key) {
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
  }
  return def ? std::string(def) : std::string();
}

const char* KeyValueStore::operator[](const char* key) const {
  if (!key) return nullptr;
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}

bool KeyValueStore::Add(const char* key, const char* value) {
  if (!key) return false;
  std::string& slot = entries[key];
  const char* text = value ? value : "";
  if (slot != text) {
    slot = text;
    modified = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return Add(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f", value);
  return Add(key, text);
}

bool KeyValueStore::Add(const char* key, const std::string& value) { return Add(key, value.c_str()); }

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& e : other.entries) entries[e.first] = e.second;
  if (!other.entries.empty()) modified = true;
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  modified = true;
  return true;
}
