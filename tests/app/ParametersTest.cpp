#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"
#include "RecordingDisplay.h"

namespace {

using qwtest::RecordingDisplay;

struct Parsed {
  int result = -1;
  Parameters params;
  RecordingDisplay display;
};

// Runs the parser on "updater" followed by args.
void Parse(std::vector<const char*> args, Parsed& out, const char* program = "updater") {
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  // Junk in every field, so a default the parser forgets to set shows.
  out.params.serialNumber = 0xBAD;
  out.params.buildNumber = "junk";
  out.params.commands.Set(CMD_UPDATE);
  out.result = _get_params(out.display, static_cast<int>(argv.size()) - 1, argv.data(), out.params);
}

class ParametersTest : public ::testing::Test {
 protected:
  void SetUp() override { Log::package_bitmask = 0; }
  void TearDown() override {
    Log::package_bitmask = 0;
    Log::SetOutput(nullptr);
  }
};

struct Case {
  const char* name;
  std::vector<const char*> args;
  int result;
  std::vector<std::string> errors;
  std::function<void(const Parameters&)> check;
};

const std::string kBadTransport = "\nMust be one of the following: USB, TCPIP, RECOVER";
const std::string kMultipleURLs =
    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.";

const Case kCases[] = {
    {"defaults", {}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Bits(), 0u);
       EXPECT_EQ(p.serialNumber, 0u);
       EXPECT_EQ(p.transport, 1u);
       EXPECT_FALSE(p.transportGiven);
       EXPECT_EQ(p.baudRate, 115200u);
       EXPECT_EQ(p.buildNumber, "");
       EXPECT_EQ(p.serverURL, "http://updates.vantorel.com/cgi/u");
       EXPECT_EQ(p.logFile, "Updater.log");
       EXPECT_TRUE(p.useUEIBytes);
       EXPECT_FALSE(p.override);
       EXPECT_EQ(p.programName, "updater");
     }},
    {"every command option", {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "1"}, 0, {},
     [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), 0x3FFu); }},
    {"serial with prefix", {"-d", "0x40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
    {"serial lower case", {"-d", "40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
    {"serial through equals", {"-d=0X40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
    {"serial keeps low 32 bits", {"-d", "123456789"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x23456789u); }},
    {"serial not hex", {"-d", "40F5849G"}, 1, {"Invalid serial number obtained from argument [40F5849G]"}, nullptr},
    {"serial zero", {"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
    {"serial prefix only", {"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
    {"router serial", {"-r", "0xD272031D"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.routerSerialNumber, 0xD272031Du); }},
    {"router serial invalid", {"-r", "0xR2"}, 1, {"Invalid router serial number obtained from argument [R2]"}, nullptr},
    {"every failing option is reported", {"-d", "0", "-Y", "-r", "x", "-t", "serial"}, 1,
     {"Invalid serial number obtained from argument [0]", "Unhandled command: [-Y]",
      "Invalid router serial number obtained from argument [x]", "Invalid transport type:[serial]" + kBadTransport},
     nullptr},
    {"build with junk reads 0", {"-b", "12x"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.buildNumber, "0"); }},
    {"build", {"-b", "99528558"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.buildNumber, "99528558"); }},
    {"baud rate", {"-o", "9600"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
    {"baud rate not a number", {"-o", "fast"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 0u); }},
    {"transport USB", {"-t", "USBX"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.transport, 1u);
       EXPECT_TRUE(p.transportGiven);
     }},
    {"transport TCPIP", {"-t", "TCPIP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 2u); }},
    {"transport RECOVER", {"-t", "RECOVER"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 255u); }},
    {"transport too short", {"-t", "US"}, 1, {"Invalid transport type:[US]" + kBadTransport}, [](const Parameters& p) {
       EXPECT_EQ(p.transport, 0u);
       EXPECT_TRUE(p.transportGiven);
     }},
    {"transport is case sensitive", {"-t", "usb"}, 1, {"Invalid transport type:[usb]" + kBadTransport}, nullptr},
    {"http and https", {"--http", "--https"}, 1, {kMultipleURLs}, nullptr},
    {"two -u", {"-u", "a:1", "-u", "b:2"}, 1, {kMultipleURLs}, nullptr},
    {"-u verbatim", {"-u", "localhost:8080"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverURL, "localhost:8080"); }},
    {"https", {"--https"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverURL, "https://updates.vantorel.com/cgi/u"); }},
    {"uei bytes off", {"-m", "0"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
    {"uei bytes 1x", {"-m", "1x"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
    {"uei bytes true", {"-m=trueish"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
    {"uei bytes False", {"-m", "False"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
    {"-Y is rejected", {"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
    {"verbatim values and flags", {"-s", "/dev/ttyS0", "-f", "a.bird", "-i", "/tmp/s", "-l", "msg", "-k", "x.log", "-e", "-n"},
     0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serialPort, "/dev/ttyS0");
       EXPECT_EQ(p.birdFile, "a.bird");
       EXPECT_EQ(p.storageDirectory, "/tmp/s");
       EXPECT_EQ(p.historyMessage, "msg");
       EXPECT_EQ(p.logFile, "x.log");
       EXPECT_TRUE(p.echo);
       EXPECT_TRUE(p.flagN);
     }},
    // Option syntax.
    {"prefix selects the only option", {"-OVER"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
    {"ambiguous prefix is ignored", {"--htt", "--https"}, 0, {},
     [](const Parameters& p) { EXPECT_EQ(p.serverURL, "https://updates.vantorel.com/cgi/u"); }},
    {"prefix needs matching dashes", {"-help", "-http"}, 0, {}, [](const Parameters& p) {
       EXPECT_FALSE(p.helpRequested);
       EXPECT_EQ(p.commands.Bits(), 0u);
     }},
    {"options are case sensitive", {"-override", "-u", "a", "-U"}, 0, {}, [](const Parameters& p) {
       EXPECT_FALSE(p.override);
       EXPECT_EQ(p.commands.Bits(), CMD_UPDATE);
     }},
    {"words are not combined", {"-DU", "-d1234"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Bits(), 0u);
       EXPECT_EQ(p.serialNumber, 0u);
     }},
    {"non-option words are skipped", {"foo", "-D", "bar"}, 0, {},
     [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), CMD_DISCOVER); }},
    {"missing value at the end", {"-U", "-d"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serialNumber, 0u);
       EXPECT_EQ(p.commands.Bits(), CMD_UPDATE);
     }},
    {"option instead of a value is read as an option", {"-d", "-U"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serialNumber, 0u);
       EXPECT_EQ(p.commands.Bits(), CMD_UPDATE);
     }},
    {"value for an option without one", {"-U=1", "-e=1"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Bits(), 0u);
       EXPECT_FALSE(p.echo);
     }},
    {"-Z needs a value", {"-Z"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), 0u); }},
    {"help stops parsing", {"-h", "-X", "1", "-Y", "--http", "--https"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Bits(), CMD_HELP);
       EXPECT_TRUE(p.helpRequested);
       EXPECT_FALSE(p.extendedHelp);
     }},
    {"help after -X", {"-X", "1", "-H"}, 0, {}, [](const Parameters& p) {
       EXPECT_TRUE(p.helpRequested);
       EXPECT_TRUE(p.extendedHelp);
     }},
    {"long help by prefix", {"--he"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
    {"debug mask hexadecimal", {"-X", "0x10"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.debugMask, 0x10u);
       EXPECT_TRUE(p.extendedHelp);
       EXPECT_EQ(Log::package_bitmask, 0x10u);
     }},
    {"debug mask decimal", {"-X", "12"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.debugMask, 12u);
       EXPECT_EQ(Log::package_bitmask, 12u);
     }},
    {"debug mask with junk activates nothing", {"-X", "5q"}, 0,
     {"Invalid format for \"-X\" parameter, unprocessed characters [q]"}, [](const Parameters& p) {
       EXPECT_TRUE(p.extendedHelp);
       EXPECT_EQ(Log::package_bitmask, 0u);
     }},
    {"debug mask with a second prefix", {"-X", "0x0x5"}, 0,
     {"Invalid format for \"-X\" parameter, unprocessed characters [x5]"},
     [](const Parameters&) { EXPECT_EQ(Log::package_bitmask, 0u); }},
};

TEST_F(ParametersTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Log::package_bitmask = 0;
    Parsed p;
    Parse(c.args, p);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.display.errors, c.errors);
    EXPECT_TRUE(p.display.infos.empty());
    if (c.check) c.check(p.params);
  }
}

TEST_F(ParametersTest, ProgramNameIsTheLastPathComponent) {
  const char* const names[][2] = {{"/usr/bin/updater", "updater"}, {"C:\\tools\\upd.exe", "upd.exe"}, {"dir/", ""}};
  for (const auto& n : names) {
    Parsed p;
    Parse({}, p, n[0]);
    EXPECT_EQ(p.params.programName, n[1]) << n[0];
  }
}

// The parameter log is written once -X has activated its package, and lists the option
// words before the words that are not options.
TEST_F(ParametersTest, ParameterLogFollowsTheMaskSetWhileParsing) {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  Log::SetOutput(f);
  Parsed p;
  Parse({"stray", "-X", "0x10000", "-D"}, p, "/bin/updater");
  fflush(f);
  EXPECT_EQ(std::string(data, size), "\nApplication parameters:[updater]\n\t[/bin/updater]\n\t[-X]\n\t[0x10000]\n\t[-D]\n\t[stray]\n");
  Log::SetOutput(nullptr);
  fclose(f);
  free(data);
}

TEST(NumberArguments, DigitsOnly) {
  struct Row {
    const char* text;
    bool hexDigits, decDigits;  // the text is made only of such digits
    uint32_t hex, dec;
  };
  const Row rows[] = {
      {"", false, false, 0, 0},
      {"1A", true, false, 0x1A, 0},
      {"1a", true, false, 0x1A, 0},
      {"19", true, true, 0x19, 19},
      {" 1", false, false, 0, 0},
      {"+1", false, false, 0, 0},
      {"-1", false, false, 0, 0},
      {"1 ", false, false, 0, 0},
      {"0x10", false, false, 0, 0},
      {"FFFFFFFFF", true, false, 0xFFFFFFFF, 0},
      {"4294967296", true, true, 0x94967296, 0},  // 2^32 in decimal keeps its low bits: 0
  };
  char* const untouched = reinterpret_cast<char*>(0x1);
  for (const Row& r : rows) {
    char* end = untouched;
    EXPECT_EQ(_get_hex_arg(r.text, &end), r.hex) << "hex of [" << r.text << "]";
    EXPECT_EQ(end == untouched, !r.hexDigits) << "hex of [" << r.text << "]";
    end = untouched;
    EXPECT_EQ(_get_int_arg(r.text, &end), r.dec) << "decimal of [" << r.text << "]";
    EXPECT_EQ(end == untouched, !r.decDigits) << "decimal of [" << r.text << "]";
  }
  EXPECT_EQ(_get_hex_arg(nullptr, nullptr), 0u);
}

}  // namespace
