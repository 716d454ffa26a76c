// Replays a fuzz target's corpus once, for builds without libFuzzer: each argument is a
// file or a folder of files, every file is fed to the target as one input.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int replayFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "missing %s\n", argv[i]);
      ++failures;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* d = opendir(argv[i]);
      if (!d) { ++failures; continue; }
      std::vector<std::string> names;
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
      closedir(d);
      for (const auto& name : names) { failures += replayFile(name); ++inputs; }
    } else {
      failures += replayFile(argv[i]);
      ++inputs;
    }
  }
  std::printf("replayed %d inputs\n", inputs);
  return failures ? 1 : 0;
}
