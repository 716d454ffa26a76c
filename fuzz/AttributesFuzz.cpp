// Loads one attribute file from the input, saves it and reads it back: what was saved must
// read back to the same entries, apart from the few keys the syntax cannot carry.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KeyValueStore.h"

namespace {

struct Files {
  std::string dir, in, out;
  Files() {
    char tmpl[] = "/dev/shm/qwattrs.XXXXXX";
    char tmpl2[] = "/tmp/qwattrs.XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (!d) d = mkdtemp(tmpl2);
    if (!d) std::abort();
    dir = d;
    in = dir + "/in";
    out = dir + "/out";
  }
  ~Files() {
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir.c_str());
  }
};

// Keys that a written line cannot bring back: "=v" lines shorter than three characters
// and keys that would start a comment.
bool carried(const std::string& key, const std::string& value) {
  if (!key.empty() && key[0] == '#') return false;
  if (key.empty() && value.size() < 2) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Files files;
  FILE* f = std::fopen(files.in.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  KeyValueStore kv(files.in.c_str());
  kv.GetInt("A", 1);
  kv.GetHex("B", 2);
  kv.GetBOOL("C", true);
  kv.GetDouble("D", 1.5);
  kv.GetString("E", nullptr);
  kv.Add("F", 1.0);
  kv.Save(files.out.c_str());
  KeyValueStore back(files.out.c_str());
  for (const auto& e : kv.entries) {
    if (!carried(e.first, e.second)) continue;
    auto it = back.entries.find(e.first);
    if (it == back.entries.end() || it->second != e.second) std::abort();
  }
  return 0;
}
