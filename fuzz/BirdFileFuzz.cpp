// Loads one BIRD image from the input and runs every operation that reads or patches it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "BirdFile.h"
#include "Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The log's formatting runs too, into the void.
  static FILE* sink = [] {
    FILE* f = std::fopen("/dev/null", "w");
    Log::SetOutput(f);
    Log::package_bitmask = 0xFFFFFFFFu;
    return f;
  }();
  BirdFile f;
  if (!f.LoadFromMemory(data, size)) return 0;
  f.ScanBlocks(f.buffer.get(), f.bufferSize);
  for (unsigned t = 0; t < 32; ++t) f.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(t));
  (void)f.GetBuild();
  (void)f.GetSerialNumber();
  std::string version = f.GetVersion();
  std::string model = f.GetModel();
  f.ValidateModel(model.c_str());
  f.ValidateModel("A-MODEL-NAME-LONGER-THAN-SIXTEEN");
  f.ReplaceSerialNumber(0x40F5849A);
  f.ReplaceVectorChecksum();
  const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  f.DecodeFirmwareBlocks(key);
  const unsigned char pattern[] = {0xFF, 0xFF};
  f.ValidateData(pattern, sizeof pattern);
  if (sink) f.DumpBlocks(BirdFile::BLOCK_IDENTITY, sink);
  BirdFile moved(std::move(f));
  moved.GetModel();
  return 0;
}
