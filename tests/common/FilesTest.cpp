#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "aDirectory.h"
#include "aFile.h"

namespace fs = std::filesystem;

namespace {

// A fresh temporary directory per test, removed afterwards.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qw-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const std::string& rel) const { return dir + "/" + rel; }
  void write(const std::string& rel, const std::string& content) const {
    std::ofstream(path(rel), std::ios::binary) << content;
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir;
};

// ---- path building ------------------------------------------------------------------

// Calls the variadic joiner with up to eleven components.
aErr Build(char* dest, size_t size, const std::vector<const char*>& c) {
  const char* p[12] = {};
  std::copy(c.begin(), c.end(), p);
  return aDirectory_BuildPath(dest, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                              p[9], p[10], static_cast<const char*>(nullptr));
}

TEST(aBuildPathTest, JoinsComponentsWithinLimits) {
  struct Row {
    const char* name;
    std::vector<const char*> parts;
    size_t size;
    aErr err;
    const char* text;  // destination afterwards
  } rows[] = {
      {"three", {"a", "b", "c"}, 64, aErrNone, "a/b/c"},
      {"left has separator", {"a/", "b"}, 64, aErrNone, "a/b"},
      {"right has separator", {"a", "/b"}, 64, aErrNone, "a/b"},
      {"both have one", {"a/", "/b"}, 64, aErrNone, "a//b"},
      {"empty first", {"", "b"}, 64, aErrNone, "b"},
      {"ten", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 64, aErrNone,
       "0/1/2/3/4/5/6/7/8/9"},
      {"eleven", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "x"}, 64, aErrParam, ""},
      {"first of size-2", {"abcdef"}, 8, aErrNone, "abcdef"},
      {"first of size-1", {"abcdefg"}, 8, aErrOverrun, ""},
      {"second fits", {"abc", "de"}, 8, aErrNone, "abc/de"},
      {"second too long", {"abc", "defg"}, 8, aErrOverrun, "abc/"},
      {"third too long keeps two", {"a", "b", "cdefgh"}, 8, aErrOverrun, "a/b/"},
      {"no room", {"a"}, 1, aErrOverrun, ""},
  };
  for (const Row& r : rows) {
    char dest[64];
    memset(dest, 'J', sizeof dest);
    EXPECT_EQ(Build(dest, r.size, r.parts), r.err) << r.name;
    EXPECT_STREQ(dest, r.text) << r.name;
    EXPECT_LT(strlen(dest), r.size) << r.name;
  }
}

TEST(aBuildPathTest, RejectsBadDestinations) {
  char dest[32] = "a";
  EXPECT_EQ(aDirectory_BuildPath(dest, sizeof dest, dest, "b", (char*)nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(dest, sizeof dest, "x", dest, (char*)nullptr), aErrParam);
  EXPECT_STREQ(dest, "a");  // the component the caller passed is left intact
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 32, "a", "b", (char*)nullptr), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(dest, sizeof dest, "a", "b"), aErrNone);
  EXPECT_STREQ(dest, "a/b");
  EXPECT_EQ(aDirectory_JoinPath(dest, sizeof dest, "a", nullptr), aErrParam);
}

TEST(aBuildPathTest, StringJoinerKeepsEverySeparator) {
  EXPECT_EQ(BuildPath("a", "b", "c", (char*)nullptr), "a/b/c");
  EXPECT_EQ(BuildPath("a", (char*)nullptr), "a");
  EXPECT_EQ(BuildPath("a/", "b", (char*)nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", "", (char*)nullptr), "a/");
  std::string longPart(5000, 'x');
  EXPECT_EQ(BuildPath("/", longPart.c_str(), (char*)nullptr).size(), 5002u);
}

// ---- directories --------------------------------------------------------------------

using aDirectoryTest = TempDir;

TEST_F(aDirectoryTest, EnsureCreatesMissingParentsWithMode) {
  mode_t old = umask(0);
  std::string target = path("x/y/z");
  EXPECT_EQ(aDirectory_Ensure(target.c_str(), 0750), aErrNone);
  umask(old);
  for (const char* rel : {"x", "x/y", "x/y/z"}) {
    struct stat st;
    ASSERT_EQ(stat(path(rel).c_str(), &st), 0) << rel;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << rel;
    EXPECT_EQ(st.st_mode & 07777, 0750u) << rel;
  }
  // Existing directory: nothing to do.
  EXPECT_EQ(aDirectory_Ensure(target.c_str(), 0750), aErrNone);
}

TEST_F(aDirectoryTest, EnsureHandlesRelativeAndOddPaths) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  aErr rel = aDirectory_Ensure("a/b/c", 0755);
  aErr doubled = aDirectory_Ensure("p//q///r/", 0755);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(rel, aErrNone);
  EXPECT_TRUE(fs::is_directory(path("a/b/c")));
  EXPECT_EQ(doubled, aErrNone);
  EXPECT_TRUE(fs::is_directory(path("p/q/r")));

  write("file", "data");
  EXPECT_EQ(aDirectory_Ensure(path("file").c_str(), 0755), aErrNone);  // last component a file
  EXPECT_EQ(aDirectory_Ensure(path("file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

struct Seen {
  std::vector<std::string> names;
  std::vector<aDirectoryListData> data;
  int stopAfter = -1;
};

bool Collect(const aDirectoryListData* d, void* ref) {
  Seen* s = static_cast<Seen*>(ref);
  s->names.push_back(fs::path(d->path).filename().string());
  s->data.push_back(*d);
  return s->stopAfter < 0 || static_cast<int>(s->names.size()) < s->stopAfter;
}

TEST_F(aDirectoryTest, ListReportsEveryEntryAndStopsOnRequest) {
  write("f1", "12345");
  fs::create_directory(path("sub"));
  Seen all;
  EXPECT_EQ(aDirectory_List(dir.c_str(), Collect, &all), aErrNone);
  std::vector<std::string> names = all.names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "f1", "sub"}));
  for (size_t i = 0; i < all.names.size(); ++i) {
    if (all.names[i] == "f1") {
      EXPECT_EQ(all.data[i].size, 5u);
      EXPECT_EQ(all.data[i].isDirectory, 0u);
    }
    if (all.names[i] == "sub") {
      EXPECT_EQ(all.data[i].isDirectory, 1u);
    }
  }

  Seen one;
  one.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(dir.c_str(), Collect, &one), aErrNone);
  EXPECT_EQ(one.names.size(), 1u);

  Seen none;
  EXPECT_EQ(aDirectory_List(path("missing").c_str(), Collect, &none), aErrNotFound);
  EXPECT_TRUE(none.names.empty());
}

TEST_F(aDirectoryTest, DeleteTreeRemovesLinksWithoutFollowingThem) {
  fs::create_directories(path("outside"));
  write("outside/keep", "k");
  fs::create_directories(path("tree/a/b"));
  write("tree/a/b/f", "x");
  write("tree/g", "y");
  fs::create_directory_symlink(path("outside"), path("tree/a/link"));

  EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(path("tree")));
  EXPECT_TRUE(fs::exists(path("outside/keep")));
  EXPECT_EQ(aDirectory_DeleteTree(path("tree").c_str()), aErrNotFound);

  fs::create_directory(path("empty"));
  EXPECT_EQ(aDirectory_Delete(path("empty").c_str()), aErrNone);
  EXPECT_EQ(aDirectory_Delete(path("empty").c_str()), aErrUnknown);
}

TEST(aDirectoryInfoTest, HomeDirectoryIsAlwaysTerminated) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string home = pw->pw_dir;

  char buf[4096];
  EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
  EXPECT_EQ(home, buf);

  // Exactly one byte short, and one byte: never an unterminated or cut path.
  std::vector<char> tight(home.size(), 'J');
  EXPECT_EQ(aDirectory_GetHomeDirectory(tight.data(), tight.size()), aErrOverrun);
  EXPECT_EQ(tight[0], '\0');
  std::vector<char> exact(home.size() + 1, 'J');
  EXPECT_EQ(aDirectory_GetHomeDirectory(exact.data(), exact.size()), aErrNone);
  EXPECT_EQ(home, exact.data());
  EXPECT_EQ(aDirectory_GetHomeDirectory(buf, 0), aErrParam);
}

TEST(aDirectoryInfoTest, WorkingDirectoryAndExecutable) {
  char buf[4096];
  EXPECT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
  EXPECT_EQ(fs::current_path().string(), buf);
  char tiny[2];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);

  EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
  EXPECT_EQ(fs::read_symlink("/proc/self/exe").string(), buf);
  char cut[5];
  EXPECT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
  EXPECT_EQ(strlen(cut), 4u);
}

// ---- files --------------------------------------------------------------------------

using aFileTest = TempDir;

TEST_F(aFileTest, OpenRejectsBadArguments) {
  write("f", "x");
  std::string tooLong(aFILE_MAX_PATH + 1, 'a');
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWrite), nullptr);
  EXPECT_EQ(aFile_Open(path("f").c_str(), aFileModeInvalid), nullptr);
  EXPECT_EQ(aFile_Open(path("f").c_str(), 4), nullptr);
  EXPECT_EQ(aFile_Open(path("f").c_str(), -1), nullptr);
  EXPECT_EQ(aFile_Open(path("missing").c_str(), aFileModeRead), nullptr);
  EXPECT_EQ(slurp(path("f")), "x");  // a rejected mode must not truncate
}

TEST_F(aFileTest, ModesGateReadsAndWrites) {
  aFile* w = aFile_Open(path("f").c_str(), aFileModeWrite);
  ASSERT_NE(w, nullptr);
  char buf[8];
  size_t n = 99;
  EXPECT_EQ(aFile_Read(w, buf, 1, &n), aErrMode);
  EXPECT_EQ(aFile_Write(w, "abc", 3, &n), aErrNone);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(aFile_Printf(w, "%d\n", 42), aErrNone);
  EXPECT_EQ(aFile_Close(&w), aErrNone);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(aFile_Close(&w), aErrParam);

  aFile* r = aFile_Open(path("f").c_str(), aFileModeRead);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(aFile_Write(r, "x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
  EXPECT_EQ(aFile_Read(r, nullptr, 1, &n), aErrParam);
  EXPECT_EQ(aFile_Read(r, buf, sizeof buf, &n), aErrNone);
  EXPECT_EQ(std::string(buf, n), "abc42\n");
  n = 99;
  EXPECT_EQ(aFile_Read(r, buf, 0, &n), aErrNone);  // at end, asking for nothing
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Read(r, buf, 1, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Close(&r), aErrNone);
  EXPECT_EQ(aFile_Read(nullptr, buf, 1, &n), aErrParam);
}

TEST_F(aFileTest, ReadLineAtBufferLimits) {
  struct Row {
    const char* name;
    std::string content;
    size_t size;
    std::vector<std::pair<aErr, std::string>> reads;  // until end of file
  } rows[] = {
      {"short line", "abcd\n", 6, {{aErrNone, "abcd\n"}}},
      {"line longer than buffer", "abcdef\n", 6, {{aErrOverrun, "abcde"}, {aErrNone, "f\n"}}},
      {"newline does not fit", "abcde\n", 6, {{aErrOverrun, "abcde"}, {aErrNone, "\n"}}},
      {"last line fills buffer", "abcde", 6, {{aErrNone, "abcde"}}},
      {"last line shorter", "ab\ncd", 6, {{aErrNone, "ab\n"}, {aErrNone, "cd"}}},
      {"embedded zero byte", std::string("a\0b\n", 4), 6, {{aErrNone, std::string("a\0b\n", 4)}}},
      {"blank lines", "\n\n", 2, {{aErrNone, "\n"}, {aErrNone, "\n"}}},
      {"empty file", "", 6, {}},
  };
  for (const Row& r : rows) {
    write("lines", r.content);
    aFile* f = aFile_Open(path("lines").c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr) << r.name;
    std::vector<char> buf(r.size);
    for (const auto& [err, text] : r.reads) {
      size_t len = 99;
      EXPECT_EQ(aFile_ReadLine(f, buf.data(), r.size, &len), err) << r.name;
      EXPECT_EQ(std::string(buf.data(), len), text) << r.name;
      EXPECT_EQ(buf[len], '\0') << r.name;
    }
    size_t len = 99;
    EXPECT_EQ(aFile_ReadLine(f, buf.data(), r.size, &len), aErrEOF) << r.name;
    EXPECT_EQ(len, 0u) << r.name;
    EXPECT_EQ(buf[0], '\0') << r.name;
    aFile_Close(&f);
  }
}

TEST_F(aFileTest, AppendModeReadsAndWritesInTurn) {
  write("log", "one\n");
  aFile* f = aFile_Open(path("log").c_str(), aFileModeAppend);
  ASSERT_NE(f, nullptr);
  size_t pos = 0;
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(aFile_Printf(f, "two\n"), aErrNone);
  EXPECT_EQ(aFile_Seek(f, 0, aSeekFromStart), aErrNone);
  char line[16];
  size_t len = 0;
  EXPECT_EQ(aFile_ReadLine(f, line, sizeof line, &len), aErrNone);
  EXPECT_STREQ(line, "one\n");
  EXPECT_EQ(aFile_Write(f, "three\n", 6, nullptr), aErrNone);  // appends, whatever the position
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(slurp(path("log")), "one\ntwo\nthree\n");
}

TEST_F(aFileTest, SeekStaysInsideTheFile) {
  write("f", "0123456789");
  aFile* f = aFile_Open(path("f").c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  struct Row {
    int64_t offset;
    int origin;
    aErr err;
    size_t pos;  // position afterwards
  } rows[] = {
      {4, aSeekFromStart, aErrNone, 4},
      {1, aSeekFromEnd, aErrRange, 4},
      {2, aSeekFromCurrent, aErrNone, 6},
      {-7, aSeekFromCurrent, aErrRange, 6},
      {-10, aSeekFromEnd, aErrNone, 0},
      {0, aSeekFromEnd, aErrNone, 10},
      {11, aSeekFromStart, aErrRange, 10},
      {3, 7, aErrNone, 3},  // unknown origins count from the start
      {INT64_MAX, aSeekFromEnd, aErrRange, 3},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(aFile_Seek(f, r.offset, r.origin), r.err) << r.offset << " from " << r.origin;
    size_t pos = 0;
    EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
    EXPECT_EQ(pos, r.pos) << r.offset << " from " << r.origin;
  }
  ASSERT_EQ(aFile_Seek(f, 3, aSeekFromStart), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  char c = 0;
  EXPECT_EQ(aFile_Read(f, &c, 1, nullptr), aErrNone);
  EXPECT_EQ(c, '3');  // the size query left the position alone
  EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
  aFile_Close(&f);
}

TEST_F(aFileTest, FailedWritesAreReported) {
  // /dev/full accepts the open and fails every write.
  aFile* buffered = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(buffered, nullptr);
  EXPECT_EQ(aFile_Write(buffered, "abc", 3, nullptr), aErrNone);  // still in the buffer
  EXPECT_EQ(aFile_Close(&buffered), aErrIO);
  EXPECT_EQ(buffered, nullptr);

  aFile* direct = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(direct), aErrNone);
  size_t n = 99;
  EXPECT_EQ(aFile_Write(direct, "abc", 3, &n), aErrIO);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Printf(direct, "abc"), aErrIO);
  EXPECT_EQ(aFile_Close(&direct), aErrNone);
}

TEST_F(aFileTest, ExistsAndDelete) {
  write("f", "x");
  std::string tooLong(aFILE_MAX_PATH + 1, 'a');
  EXPECT_TRUE(aFile_Exists(path("f").c_str()));
  EXPECT_FALSE(aFile_Exists(dir.c_str()));
  EXPECT_FALSE(aFile_Exists(path("missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(tooLong.c_str()));

  EXPECT_EQ(aFile_Delete(path("f").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(path("f")));
  EXPECT_EQ(aFile_Delete(path("f").c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
  EXPECT_EQ(aFile_Delete(dir.c_str()), aErrIO);
}

}  // namespace
