#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "FirmwareTestSupport.h"
#include "KeyValueStore.h"

using fwtest::LogCapture;
using fwtest::ReadText;
using fwtest::TempDir;
using fwtest::WriteText;
using Entries = std::map<std::string, std::string>;

TEST(KeyValueStoreSyntax, Lines) {
  const std::string longValue(5000, 'v');
  struct Case {
    const char* name;
    std::string text;
    Entries entries;
  } cases[] = {
      {"comment, blank, repeat", "# comment\n\nA = 1\nA=2\n", {{"A", "2"}}},
      {"empty value", "KEY=\n", {{"KEY", ""}}},
      {"no equals sign", "  lonely key  \n", {{"lonely key", ""}}},
      {"inner white space kept", "\t my key \t=  a  b c \r\n", {{"my key", "a  b c"}}},
      {"short lines ignored", "a\nab\nb=\n", {{"ab", ""}, {"b", ""}}},
      {"value holds equals signs", "url=http://h/?a=b\n", {{"url", "http://h/?a=b"}}},
      {"last line without newline", "X=1\nY=2", {{"X", "1"}, {"Y", "2"}}},
      {"line longer than any buffer", "A=1\nL=" + longValue + "\nZ=26\n",
       {{"A", "1"}, {"L", longValue}, {"Z", "26"}}},
      {"long line without newline at the end", "L=" + longValue, {{"L", longValue}}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    std::string path = dir / "attrs";
    WriteText(path, c.text);
    KeyValueStore kv(path.c_str());
    EXPECT_EQ(kv.entries, c.entries) << c.name;
    EXPECT_FALSE(kv.modified) << c.name;
    EXPECT_EQ(kv.path, path) << c.name;
    // What is written reads back to the same entries.
    std::string copy = dir / "copy";
    kv.Save(copy.c_str());
    EXPECT_EQ(KeyValueStore(copy.c_str()).entries, c.entries) << c.name;
  }
}

TEST(KeyValueStoreSyntax, LoadMergesIntoExistingEntries) {
  TempDir dir;
  WriteText(dir / "a", "A=file\nB=file\n");
  KeyValueStore kv;
  kv.Add("A", "memory");
  kv.Add("C", "memory");
  kv.Load((dir / "a").c_str());
  EXPECT_EQ(kv.entries, (Entries{{"A", "file"}, {"B", "file"}, {"C", "memory"}}));
  EXPECT_FALSE(kv.modified);
}

TEST(KeyValueStoreValues, TypedGetters) {
  struct Case {
    const char* value;
    int asInt;
    unsigned asHex;
    bool asBool;
    double asDouble;
  } cases[] = {
      {"", -7, 0xDEAD, true, 9.5},  // empty: every default
      {"42", 42, 0x42, true, 42.0},
      {"0", 0, 0, false, 0.0},
      {"0x000000FF", 0, 255, false, 255.0},  // atof reads hex too
      {"ff", 0, 255, false, 0.0},
      {"1.5", 1, 1, true, 1.5},
      {"12abc", 12, 0x12ABC, true, 12.0},
      {"junk", 0, 0, false, 0.0},
  };
  for (const auto& c : cases) {
    KeyValueStore kv;
    kv.entries["K"] = c.value;
    EXPECT_EQ(kv.GetInt("K", -7), c.asInt) << c.value;
    EXPECT_EQ(kv.GetHex("K", 0xDEAD), c.asHex) << c.value;
    EXPECT_EQ(kv.GetBOOL("K", true), c.asBool) << c.value;
    EXPECT_DOUBLE_EQ(kv.GetDouble("K", 9.5), c.asDouble) << c.value;
    EXPECT_EQ(kv.GetString("K", "def"), c.value) << c.value;
    EXPECT_STREQ(kv["K"], c.value);
  }
}

TEST(KeyValueStoreValues, AddFormatsAndMarksOnlyChanges) {
  KeyValueStore kv;
  kv.AddHex("H", 255);
  kv.Add("D", 1.5);
  kv.Add("I", -3);
  std::string s = "text";
  kv.Add("S", s);
  EXPECT_EQ(kv.entries, (Entries{{"D", "1.500000"}, {"H", "0x000000FF"}, {"I", "-3"}, {"S", "text"}}));
  EXPECT_EQ(kv.GetHex("H", 0), 255u);
  EXPECT_TRUE(kv.modified);

  kv.modified = false;
  kv.Add("I", -3);  // same text
  kv.Add("E", "");  // a new key with the empty value
  EXPECT_FALSE(kv.modified);
  EXPECT_STREQ(kv["E"], "");
  kv.Add("I", 4);
  EXPECT_TRUE(kv.modified);

  KeyValueStore other;
  other.Add("I", "from other");
  kv.modified = false;
  kv.Add(other);
  EXPECT_TRUE(kv.modified);
  EXPECT_STREQ(kv["I"], "from other");
  kv.modified = false;
  kv.Add(KeyValueStore());
  EXPECT_FALSE(kv.modified);
  kv.Clear();
  EXPECT_TRUE(kv.entries.empty());
  EXPECT_TRUE(kv.modified);
}

TEST(KeyValueStoreValues, TypedGettersInsertMissingKeys) {
  TempDir dir;
  std::string path = dir / "attrs";
  WriteText(path, "A=1\n");
  KeyValueStore kv(path.c_str());
  EXPECT_EQ(kv.GetInt("MISSING", 5), 5);
  EXPECT_EQ(kv.GetString("ABSENT", "d"), "d");
  EXPECT_EQ(kv.GetString("ABSENT", nullptr), "");
  EXPECT_EQ(kv["ABSENT"], nullptr);
  EXPECT_FALSE(kv.modified);
  EXPECT_STREQ(kv["MISSING"], "");
  EXPECT_EQ(kv.entries.count("ABSENT"), 0u);

  kv.Add("B", 2);
  kv.Save(nullptr);
  std::string text = ReadText(path);
  EXPECT_NE(text.find("\nMISSING=\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("ABSENT"), std::string::npos) << text;
}

TEST(KeyValueStoreFile, MissingFileIsCreatedWithTimeStamps) {
  TempDir dir;
  std::string path = dir / ".settings";
  KeyValueStore kv(path.c_str());
  EXPECT_EQ(kv.entries.size(), 2u);
  ASSERT_NE(kv[KeyValueStore::KEY_CREATED_TIME], nullptr);
  ASSERT_NE(kv[KeyValueStore::KEY_UPDATED_TIME], nullptr);
  EXPECT_EQ(std::string(kv[KeyValueStore::KEY_CREATED_TIME]).size(), 24u);  // ctime without newline
  EXPECT_EQ(KeyValueStore(path.c_str()).entries, kv.entries);
  EXPECT_FALSE(kv.modified);
}

TEST(KeyValueStoreFile, SaveStampsOnlyRealChanges) {
  TempDir dir;
  std::string path = dir / "attrs";
  WriteText(path, "UPDATED_TIME=long ago\nX=1\n");
  KeyValueStore kv(path.c_str());
  kv.Add("X", "1");
  kv.Save(nullptr);
  EXPECT_EQ(ReadText(path), "UPDATED_TIME=long ago\nX=1\n");
  kv.Add("X", "2");
  kv.Save(nullptr);
  EXPECT_STRNE(KeyValueStore(path.c_str())["UPDATED_TIME"], "long ago");
  EXPECT_FALSE(kv.modified);
}

TEST(KeyValueStoreFile, SaveWithoutAnyNameUsesTheWorkingDirectory) {
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  LogCapture log;
  KeyValueStore kv;
  kv.Add("A", 1);
  kv.Save(nullptr);
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_NE(ReadText(dir / ".settings").find("A=1\n"), std::string::npos);
  EXPECT_NE(log.text().find("using default:[.settings]"), std::string::npos) << log.text();
}

TEST(KeyValueStoreFile, UnreadableFileIsLeftAlone) {
  TempDir dir;
  // A folder where the file should be cannot be read: it is neither replaced nor written.
  std::string path = dir / ".settings";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((path + "/keep").c_str(), 0755), 0);
  LogCapture log;
  KeyValueStore kv(path.c_str());
  EXPECT_TRUE(kv.entries.empty());
  kv.Add("A", 1);
  kv.Save(nullptr);
  struct stat st;
  ASSERT_EQ(stat((path + "/keep").c_str(), &st), 0);
  EXPECT_TRUE(kv.modified);
  EXPECT_NE(log.text().find("cannot open attributes file: '" + path + "'"), std::string::npos);
  EXPECT_NE(log.text().find("not replacing"), std::string::npos) << log.text();
  // Saving elsewhere still works.
  kv.Save((dir / "other").c_str());
  EXPECT_FALSE(kv.modified);
}

TEST(KeyValueStoreFile, FailedSaveKeepsTheOldFileAndTheChanges) {
  TempDir dir;
  LogCapture log;
  KeyValueStore kv;
  kv.Add("A", 1);
  std::string nowhere = dir / "missing/attrs";
  kv.Save(nowhere.c_str());
  EXPECT_TRUE(kv.modified);
  EXPECT_NE(log.text().find("cannot open attributes file for writting: '" + nowhere + "'"),
            std::string::npos)
      << log.text();

  // A save replaces the file whole, through a temporary file in the same folder.
  std::string path = dir / "attrs";
  WriteText(path, "OLD=1\n");
  struct stat before, after;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  KeyValueStore kv2(path.c_str());
  kv2.Add("NEW", 2);
  kv2.Save(nullptr);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  std::string listing;
  FILE* ls = popen(("ls -A '" + dir.path + "'").c_str(), "r");
  ASSERT_NE(ls, nullptr);
  char line[256];
  while (fgets(line, sizeof line, ls)) listing += line;
  pclose(ls);
  EXPECT_EQ(listing, "attrs\n");  // no temporary file left behind
}
