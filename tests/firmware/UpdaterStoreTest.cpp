#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "FirmwareTestSupport.h"
#include "UpdaterStore.h"

using fwtest::LogCapture;
using fwtest::TempDir;

namespace {
bool isDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

TEST(UpdaterStore, BaseDirectory) {
  TempDir dir;
  std::string base = dir / "a/b/updater";
  {
    LogCapture log;
    UpdaterStore store(base.c_str());
    EXPECT_TRUE(isDir(base));
    EXPECT_STREQ(store.BasePath(), base.c_str());
    EXPECT_NE(log.text().find("UpdaterStore: Created directory [" + base + "]."), std::string::npos);
  }
  {
    LogCapture log;
    UpdaterStore again(base.c_str());
    EXPECT_NE(log.text().find("UpdaterStore: [" + base + "] already exists."), std::string::npos);
  }
  std::string file = dir / "plain";
  fwtest::WriteText(file, "x");
  try {
    UpdaterStore bad(file.c_str());
    FAIL() << "a plain file was taken as the base";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + file + " exists and is a file");
  }
  std::string below = file + "/sub";
  try {
    UpdaterStore bad(below.c_str());
    FAIL() << "a folder below a plain file was made";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("UpdaterStore: Could not create directory " + below + " error ", 0), 0u)
        << e.what();
  }
}

TEST(UpdaterStore, DevicesAreFoundByContainment) {
  TempDir dir;
  UpdaterStore store(dir.path.c_str());
  UpdaterStoreItem added = store.AddDevice(0xABu);
  EXPECT_TRUE(isDir(dir / "000000AB"));
  EXPECT_EQ(added.directory, dir.path);
  EXPECT_EQ(added.name, "000000AB");
  EXPECT_EQ(added.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(added.IsValid());
  KeyValueStore onDisk((dir / "000000AB/.settings").c_str());
  ASSERT_EQ(onDisk.entries.size(), 2u);
  EXPECT_EQ(onDisk.entries.count("CREATED_TIME"), 1u);
  EXPECT_EQ(onDisk.entries.count("UPDATED_TIME"), 1u);

  UpdaterStoreItem found;
  EXPECT_TRUE(store.FindDevice(0xABu, &found));
  EXPECT_EQ(found.name, "000000AB");
  EXPECT_EQ(found.directory, dir.path);
  EXPECT_EQ(found.attributes.entries, onDisk.entries);
  EXPECT_TRUE(store.FindDevice(0xABu, nullptr));

  TempDir other;
  ASSERT_EQ(mkdir((other / "x000000CDy").c_str(), 0755), 0);
  UpdaterStore store2(other.path.c_str());
  UpdaterStoreItem partial;
  EXPECT_TRUE(store2.FindDevice(0xCDu, &partial));
  EXPECT_EQ(partial.name, "x000000CDy");

  UpdaterStoreItem untouched;
  untouched.name = "keep";
  LogCapture log;
  EXPECT_FALSE(store2.FindDevice(0xEFu, &untouched));
  EXPECT_EQ(untouched.name, "keep");
  EXPECT_EQ(untouched.kind, STORE_ITEM_NONE);
  EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 000000EF."), std::string::npos);
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
}

TEST(UpdaterStore, LocalBuildsAndFiles) {
  TempDir dir;
  UpdaterStore store(dir.path.c_str());
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x12u, items));
  EXPECT_TRUE(items.empty());

  UpdaterStoreItem device = store.AddDevice(0x12u);
  auto image = fwtest::Image({birdwriter::IdentityBlock("120", "1.2.0", 0x12, "M")});
  ASSERT_EQ(device.WriteFile("120.bird", image.data(), image.size()), aErrNone);
  ASSERT_EQ(device.WriteFile("121.bird", image.data(), image.size()), aErrNone);
  fwtest::WriteText(dir / "00000012/.hidden", "x");

  EXPECT_TRUE(store.FindLocalBuilds(0x12u, items));
  std::vector<std::string> names;
  for (const auto& item : items) {
    names.push_back(item.name);
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    EXPECT_EQ(item.directory, dir / "00000012");
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"120.bird", "121.bird"}));

  BirdFile loaded = device.ReadBirdFile("120.bird");
  EXPECT_EQ(loaded.GetBuild(), 120u);
  EXPECT_TRUE(device.FileExists("121"));
  EXPECT_FALSE(device.FileExists("122"));

  // Writing replaces the whole file.
  const unsigned char shorter[] = {1, 2, 3};
  ASSERT_EQ(device.WriteFile("121.bird", shorter, sizeof shorter), aErrNone);
  EXPECT_EQ(fwtest::ReadText(dir / "00000012/121.bird"), std::string("\x01\x02\x03", 3));

  EXPECT_EQ(device.WriteFile("null.bird", nullptr, 4), aErrNotFound);
  EXPECT_FALSE(device.FileExists("null.bird"));
  UpdaterStoreItem gone(dir.path.c_str(), "not-there", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", shorter, sizeof shorter), aErrNotFound);

  std::string bad = dir / "00000012/bad.bird";
  fwtest::WriteText(bad, "BIRD\x01\x01 not a bird file");
  try {
    device.ReadBirdFile("bad.bird");
    FAIL() << "a file without the signature was read";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid bird " + bad);
  }
  fwtest::WriteText(bad, "bird\x01\x01 not a zlib stream");
  EXPECT_THROW(device.ReadBirdFile("bad.bird"), std::runtime_error);
}
