#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "AppTexts.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "UpdaterMain.h"

namespace {

using qwtest::RecordingDisplay;
using qwtest::TempDir;

std::string Hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%08X", v);
  return b;
}

// What the fake updater answers.
struct Answers {
  bool fingerprint = true;
  uint32_t download = 4242;
  bool update = true;
};

// Records every call as one line of text.
class FakeUpdater : public UpdaterCommands {
 public:
  FakeUpdater(std::vector<std::string>& calls, const Answers& answers) : calls_(calls), answers_(answers) {}

  bool Fingerprint(const std::string& port, uint32_t serial, const std::string& file, uint32_t baud) override {
    calls_.push_back("fingerprint " + port + " " + Hex(serial) + " '" + file + "' " + std::to_string(baud));
    return answers_.fingerprint;
  }
  uint32_t Download(uint32_t serial, const std::string& build, bool override) override {
    calls_.push_back("download " + Hex(serial) + " '" + build + "' " + std::to_string(override));
    return answers_.download;
  }
  bool Discover(uint32_t linkType) override {
    calls_.push_back("discover " + std::to_string(linkType));
    return true;
  }
  bool DiscoverBehindRouter(uint32_t router, uint32_t linkType) override {
    calls_.push_back("discover router " + Hex(router) + " " + std::to_string(linkType));
    return true;
  }
  void SetUEIBytesLoad(bool on) override { calls_.push_back("uei bytes " + std::to_string(on)); }
  bool Update(uint32_t serial, uint32_t build, const std::string& file, uint8_t address, uint32_t router,
              bool override) override {
    calls_.push_back("update " + Hex(serial) + " " + std::to_string(build) + " '" + file + "' " +
                     std::to_string(address) + " " + Hex(router) + " " + std::to_string(override));
    return answers_.update;
  }
  bool Recover(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial, const std::string& file,
               bool override) override {
    calls_.push_back("recover " + port + " " + std::to_string(build) + " " + std::to_string(baud) + " " + Hex(serial) +
                     " '" + file + "' " + std::to_string(override));
    return true;
  }
  bool ListBuilds(uint32_t serial) override { return Record("builds", serial); }
  bool ListLocalBuilds(uint32_t serial) override { return Record("local builds", serial); }
  bool ShowJWT(uint32_t serial) override { return Record("jwt", serial); }

 private:
  bool Record(const char* what, uint32_t serial) {
    calls_.push_back(std::string(what) + " " + Hex(serial));
    return true;
  }
  std::vector<std::string>& calls_;
  const Answers& answers_;
};

struct RunResult {
  int status = -1;
  RecordingDisplay display;
  std::string stderrText;             // what went straight to standard error (usage)
  std::vector<std::string> created;   // "serverURL storageDirectory" per updater created
  std::vector<std::string> calls;
};

void RunArgs(const std::vector<std::string>& args, RunResult& run, const Answers& answers = Answers()) {
  std::vector<char*> argv{const_cast<char*>("updater")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  UpdaterFactory factory = [&](const std::string& url, const std::string& dir, UpdaterDisplayInterface&) {
    run.created.push_back(url + " " + dir);
    return std::unique_ptr<UpdaterCommands>(new FakeUpdater(run.calls, answers));
  };
  testing::internal::CaptureStderr();
  run.status = RunCommandLine(static_cast<int>(argv.size()) - 1, argv.data(), run.display, factory);
  run.stderrText = testing::internal::GetCapturedStderr();
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldUmask_ = umask(022);
    Log::package_bitmask = 0;
  }
  void TearDown() override {
    umask(oldUmask_);
    Log::package_bitmask = 0;
  }
  TempDir dir_;
  mode_t oldUmask_ = 0;
};

const std::string kVersion = "Updater (Version: 2.12.3 May 19 2026)";

struct Case {
  const char* name;
  std::vector<std::string> args;  // -i <temp dir> is added in front
  int status;
  std::vector<std::string> calls;
  std::vector<std::string> infos;   // after the version line
  std::vector<std::string> errors;
  Answers answers;
  bool basicUsage;  // the basic usage went to standard error
};

Answers FailingFingerprint() {
  Answers a;
  a.fingerprint = false;
  return a;
}
Answers FailingDownload() {
  Answers a;
  a.download = 0;
  return a;
}

const Case kCases[] = {
    {"get then update installs the build obtained", {"-G", "-U", "-d", "40F5849A"}, 0,
     {"download 40F5849A '' 0", "uei bytes 1", "update 40F5849A 4242 '' 0 00000000 0"},
     {"Retrieving firmware for device with serial number 40F5849A", "No build specified", "Using Latest build"}, {},
     {}, false},
    {"get a given build", {"-G", "-d", "1", "-b", "77", "-OVERRIDE"}, 0, {"download 00000001 '77' 1"},
     {"Retrieving firmware for device with serial number 00000001", "Retrieving firmware build 77"}, {}, {}, false},
    {"failed download", {"-G", "-d", "1"}, 1, {"download 00000001 '' 0"},
     {"Retrieving firmware for device with serial number 00000001", "No build specified", "Using Latest build"}, {},
     FailingDownload(), false},
    {"get without serial stops before the main command", {"-G", "-D"}, 1, {}, {},
     {"-G must specify a specific device via -d", "--help for usage information"}, {}, false},
    {"discover over USB by default", {"-D"}, 0, {"discover 1"}, {"Searching for Quarkwire devices"}, {}, {}, false},
    {"discover with RECOVER falls back to USB", {"-D", "-t", "RECOVER"}, 0, {"discover 1"},
     {"Searching for Quarkwire devices"}, {}, {}, false},
    {"discover TCP/IP", {"-D", "-t", "TCPIP"}, 0, {"discover 2"}, {"Searching for Quarkwire devices"}, {}, {}, false},
    {"discover behind a router", {"-D", "-r", "D272031D"}, 0, {"discover router D272031D 0"},
     {"Searching for Quarkwire Network devices connected to D272031D"}, {}, {}, false},
    {"discover excludes update and listings", {"-B", "-U", "-D", "-d", "5"}, 0, {"discover 1"},
     {"Searching for Quarkwire devices"}, {}, {}, false},
    {"update with every parameter", {"-U", "-d", "1", "-m", "0", "-b", "12x", "-OVERRIDE", "-f", "a.bird", "-r", "2"},
     0, {"uei bytes 0", "update 00000001 0 'a.bird' 0 00000002 1"}, {}, {}, {}, false},
    {"update without serial", {"-U"}, 1, {"uei bytes 1"}, {}, {"Must specify the specific device to be updated"}, {},
     false},
    {"failed update", {"-U", "-d", "1"}, 1, {"uei bytes 1", "update 00000001 0 '' 0 00000000 0"}, {}, {},
     [] { Answers a; a.update = false; return a; }(), false},
    {"recovery needs no serial", {"-U", "-t", "RECOVER", "-s", "/dev/ttyS0", "-o", "9600"}, 0,
     {"uei bytes 1", "recover /dev/ttyS0 0 9600 00000000 '' 0"}, {}, {}, {}, false},
    {"list builds", {"-B", "-L", "-J", "-d", "5"}, 0, {"builds 00000005"}, {}, {}, {}, false},
    {"list local builds", {"-L", "-J", "-d", "5"}, 0, {"local builds 00000005"}, {}, {}, {}, false},
    {"jwt", {"-J", "-d", "5"}, 0, {"jwt 00000005"}, {}, {}, {}, false},
    {"list builds without serial", {"-B"}, 1, {}, {},
     {"Error must supply a serial number for the List Builds command"}, {}, true},
    {"list local builds without serial", {"-L"}, 1, {}, {},
     {"Error must supply a serial number for the List Local Builds command"}, {}, true},
    {"jwt without serial", {"-J"}, 1, {}, {}, {"Error must supply a serial number for the Get JWT command"}, {}, true},
    {"fingerprint needs a port", {"-N", "-D"}, 1, {}, {}, {"Must specify the serial port used for connecting"}, {},
     false},
    {"fingerprint", {"-N", "-s", "USB", "-f", "r.bird"}, 0, {"fingerprint USB DEADDEAD 'r.bird' 115200"}, {}, {}, {},
     false},
    {"fingerprint without answer", {"-N", "-s", "/dev/ttyS1"}, 1, {"fingerprint /dev/ttyS1 DEADDEAD '' 115200"}, {},
     {"Got no response from chip"}, FailingFingerprint(), false},
    // A failed step fails the run even when a later step succeeds.
    {"failed fingerprint then download", {"-N", "-s", "p", "-G", "-d", "1"}, 1,
     {"fingerprint p DEADDEAD '' 115200", "download 00000001 '' 0"},
     {"Retrieving firmware for device with serial number 00000001", "No build specified", "Using Latest build"},
     {"Got no response from chip"}, FailingFingerprint(), false},
    {"failed download then update", {"-G", "-U", "-d", "1"}, 1,
     {"download 00000001 '' 0", "uei bytes 1", "update 00000001 0 '' 0 00000000 0"},
     {"Retrieving firmware for device with serial number 00000001", "No build specified", "Using Latest build"}, {},
     FailingDownload(), false},
    {"accepted commands that run nothing", {"-Z", "5", "-I", "-C"}, 0, {}, {}, {}, {}, false},
};

TEST_F(DispatchTest, Commands) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"-i", dir_.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult run;
    RunArgs(args, run, c.answers);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.calls, c.calls);
    std::vector<std::string> infos{kVersion};
    infos.insert(infos.end(), c.infos.begin(), c.infos.end());
    EXPECT_EQ(run.display.infos, infos);
    EXPECT_EQ(run.display.errors, c.errors);
    EXPECT_EQ(run.stderrText, c.basicUsage ? UsageText(false, false) : "");
    ASSERT_EQ(run.created.size(), 1u);
    EXPECT_EQ(run.created[0], "http://updates.vantorel.com/cgi/u " + dir_.path() + "/updater");
  }
}

TEST_F(DispatchTest, UsageRunsNothingAndCreatesNothing) {
  const std::string parent = dir_ / "store";
  struct Row {
    std::vector<std::string> args;
    int status;
    bool extended, full;
  };
  const Row rows[] = {
      {{"-i", parent}, 0, false, false},
      {{"-i", parent, "-D", "-X", "1", "-h"}, 0, true, true},
      {{"-i", parent, "-D", "-h", "-X", "1"}, 0, false, true},
      {{"-i", parent, "-X", "1"}, 0, true, false},
      {{"-i", parent, "-D", "-d", "0"}, 1, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args.back());
    RunResult run;
    RunArgs(r.args, run);
    EXPECT_EQ(run.status, r.status);
    EXPECT_EQ(run.stderrText, UsageText(r.extended, r.full));
    ASSERT_EQ(run.display.infos.size(), 2u);
    EXPECT_EQ(run.display.infos[0], kVersion);
    EXPECT_TRUE(run.created.empty());
    EXPECT_TRUE(run.calls.empty());
    struct stat st;
    EXPECT_NE(stat(parent.c_str(), &st), 0) << "the usage run created " << parent;
  }
}

TEST_F(DispatchTest, StorageDirectoryIsCreatedWithItsParents) {
  const std::string parent = dir_ / "a/b";
  RunResult run;
  RunArgs({"-i", parent, "-u", "localhost:9", "-Z", "1"}, run);
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.created.size(), 1u);
  EXPECT_EQ(run.created[0], "localhost:9 " + parent + "/updater");
  for (const std::string& d : {dir_ / "a", parent, parent + "/updater"}) {
    struct stat st;
    ASSERT_EQ(stat(d.c_str(), &st), 0) << d;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
    EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
  }
}

TEST_F(DispatchTest, StorageDirectoryThatCannotBeADirectory) {
  // Below a regular file, and a regular file where the directory should be.
  std::ofstream(dir_ / "file") << "x";
  std::ofstream(dir_ / "updater") << "x";
  const std::string parents[] = {dir_ / "file", dir_.path()};
  const std::string expected[] = {dir_ / "file/updater", dir_ / "updater"};
  for (int i = 0; i < 2; ++i) {
    RunResult run;
    RunArgs({"-i", parents[i], "-D"}, run);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.display.errors, std::vector<std::string>{"Could not find updater directory at " + expected[i]});
    EXPECT_TRUE(run.created.empty());
    EXPECT_TRUE(run.calls.empty());
  }
}

}  // namespace
