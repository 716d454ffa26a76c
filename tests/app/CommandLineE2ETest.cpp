// Runs the updater executable as a user would and checks its exact output, its exit status
// and what it leaves on disk.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RunProcess.h"
#include "TempDir.h"

namespace {

using qwtest::ProcessResult;
using qwtest::RunProcess;
using qwtest::TempDir;

const std::string kUpdater = QW_BINARY_DIR "/updater";

const std::string kVersionLine = "Updater (Version: 2.12.3 May 19 2026)\n";
const std::string kNoticeLine =
    "Writes firmware into Quarkwire modules; keep a module connected and powered while it is updated.\n";

const std::string kBasicUsage = R"(
Application Usage:
Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]
    [-d serial_num]
    [-t transport] [-r router_serial]
    [-s serial_port] [-o baud_rate]

  Quarkwire Update and Maintenance Application
    -H -h or --help for full usage information.

)";

const std::string kParameters =
    "  Parameters to commands:\n"
    "     -i <vantorel_directory>  - The Vantorel directory used for storage of \n"
    R"(                                firmware files. [Default: ~/.vantorel ].
     -b <build number>        - Build version of the firmware to transfer.
                                [Default: latest version available].
     -d <device>              - Device serial number of the device to access.
     -t <transport type>      - communications method [USB,TCP,RECOVER].
     -f <bird file>           - Firmware file to be transferred to device.
     -r <router serial>       - indirect connection through router device
     -s <serial port>         - name of serial port to use for recovery
     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,
                                19200, 38400, 57600, 115200, 230400)
  Commands:
     -B                       - list the Builds available for given device.

     -L                       - list the local Builds available for given device.

     -D                       - Discover devices that are currently connected.

     -G                       - Get build file from the Vantorel server and
                                store on local machine for download to device.
                                Must specify a specific device ["-d" option].
                                Default is to obtain the latest build for the
                                given device, override with "-b" option.

     -U                       - Update the firmware on device specified.
                                Must specify a specific device ["-d" option].
                                Default is to download the latest build for the
                                given device, override with "-b" option or
                                specify specific BIRD file using "-f" option.
     -J                       - Get a JWT containing the devices software features
     -H or -h                 - Display extended usage information.

     --http                   - Use HTTP for the update server (http://updates.vantorel.com/cgi/u).
     --https                  - Use HTTPS for the update server (https://updates.vantorel.com/cgi/u).
                                Recommended; HTTPS will be the default in the next major version.

)";

const std::string kExtended = R"(  Extended Parameters:
     -e                       - echoing of bytes enabled during recovery.

     -m                       - Attemps to use UEIBytes for faster loading
     -l 'log message'         - message to place in device history log
     -k <filename>            - log messages written into given filename
                                Default:[APP.log]
     -u <host:port>           - The hostname and port of the update server
                                Default: updates.vantorel.com:port
  Extended Commands:
     -I                       - View stored device information.
                                Must either use DISCOVER command ["-D"] or
                                specify a specific device ["-d" option].

     -OVERRIDE                - Override the model checks for BIRD firmware files.
                                This option should only be used when authorized by
                                Vantorel development engineers.

     -N                       - Get fingerprint from a device, requires -s

     -X <BIT_MASK>            - Bitmask for Logging
                                DEBUG_Updater       0x00000001
                                DEBUG_History       0x00000002
                                DEBUG_Attributes    0x00000004
                                DEBUG_BirdFile      0x00000008
                                DEBUG_Network       0x00000010
                                DEBUG_ServerComm    0x00000020

                                DEBUG_Network       0x00000100
                                DEBUG_Network_SR    0x00000200
                                DEBUG_Network_FIRM  0x00000400

                                DEBUG_NXPSerial     0x00001000
                                DEBUG_NXPSerial_E   0x00002000
                                DEBUG_NXPSerial_SR  0x00004000

                                DEBUG_APP           0x00010000

                                DEBUG_iMXSerial     0x10000000

     -C                       - Check the given BIRDFILE

)";

const std::string kSamples = R"( Sample usage:

-D                             Discover all devices connected by either USB or TCPIP.
                               Records the device information into the settings for that device.

-D -t USB                      Discover all the devices connected by USB. Records the
                               device information into the settings for that device.

-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)

-G -d 40F5849A                 Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific device directory.

-U -d 40F5849A                 Update the firmware on the specific device.
                               Without other options, this command will try to locate
                               the latest firmware version to be used for updating the device.

-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.
                               Downloads the firmware file into the updater's specific
                               device directory with the build number as the filename.

-G -U -d 40F5849A              Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific
                               device directory. After download, update the firmware
                               using the latest release.

-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface
                               in communicating with the device to install the latest firmware.

 Sample usage for network discovery and updates:

-D -r D272031D                 Discover all devices connected to the I2C Quarkwire network
                               of the given routing device D272031D.

-G -U -d 2181F0EE -r D272031D
                               Get and Update to the latest firmware for device 2181F0EE
                               indirectly through routing device D272031D.

)";

ProcessResult Updater(std::vector<std::string> args) {
  args.insert(args.begin(), kUpdater);
  return RunProcess(args);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override { oldUmask_ = umask(022); }
  void TearDown() override { umask(oldUmask_); }
  TempDir dir_;
  mode_t oldUmask_ = 0;
};

TEST_F(CommandLine, UsageTexts) {
  const std::string store = dir_ / "store";
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string usage;
  };
  const Row rows[] = {
      {"no arguments", {}, kBasicUsage},
      {"storage only", {"-i", store}, kBasicUsage},
      {"-h", {"-i", store, "-D", "-h"}, kBasicUsage + kParameters + kSamples},
      {"--help", {"--help"}, kBasicUsage + kParameters + kSamples},
      {"-X 1 -h", {"-X", "1", "-h"}, kBasicUsage + kParameters + kExtended + kSamples},
      {"-h -X 1", {"-h", "-X", "1"}, kBasicUsage + kParameters + kSamples},
      {"-X alone", {"-X", "0", "-i", store}, kBasicUsage},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ProcessResult res = Updater(r.args);
    EXPECT_EQ(res.exitStatus, 0);
    EXPECT_EQ(res.out, kVersionLine + kNoticeLine);
    EXPECT_EQ(res.err, r.usage);
    EXPECT_FALSE(Exists(store)) << "usage created the storage directory";
  }
}

TEST_F(CommandLine, ParseErrorsEndInBasicUsage) {
  const std::string store = dir_ / "store";
  struct Row {
    std::vector<std::string> args;
    std::string errors;
  };
  const Row rows[] = {
      {{"-Y"}, "Unhandled command: [-Y]\n"},
      {{"-D", "-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]\n"},
      {{"-U", "-d", "0x0"}, "Invalid serial number obtained from argument [0]\n"},
      {{"-D", "-r", "zz"}, "Invalid router serial number obtained from argument [zz]\n"},
      {{"-D", "-t", "serial"}, "Invalid transport type:[serial]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
      {{"-D", "--http", "--https"},
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
      {{"-D", "-u", "a:1", "-u", "b:2"},
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
      {{"-Y", "-d", "0"}, "Unhandled command: [-Y]\nInvalid serial number obtained from argument [0]\n"},
  };
  for (const Row& r : rows) {
    std::vector<std::string> args{"-i", store};
    args.insert(args.end(), r.args.begin(), r.args.end());
    SCOPED_TRACE(r.errors);
    ProcessResult res = Updater(args);
    EXPECT_EQ(res.exitStatus, 1);
    EXPECT_EQ(res.out, kVersionLine + kNoticeLine);
    EXPECT_EQ(res.err, r.errors + kBasicUsage);
    EXPECT_FALSE(Exists(store));
  }
}

TEST_F(CommandLine, AcceptedCommandsThatRunNothing) {
  const std::vector<std::string> commands[] = {{"-Z", "5"}, {"-I"}, {"-C"}};
  for (const auto& c : commands) {
    SCOPED_TRACE(c[0]);
    TempDir dir;
    std::vector<std::string> args{"-i", dir / "a"};
    args.insert(args.end(), c.begin(), c.end());
    ProcessResult res = Updater(args);
    EXPECT_EQ(res.exitStatus, 0);
    EXPECT_EQ(res.out, kVersionLine);
    EXPECT_EQ(res.err, "");
    for (const std::string& d : {dir / "a", dir / "a/updater"}) {
      struct stat st;
      ASSERT_EQ(stat(d.c_str(), &st), 0) << d;
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
    }
  }
}

TEST_F(CommandLine, ArgumentChecks) {
  struct Row {
    std::vector<std::string> args;
    std::string out, err;
  };
  const Row rows[] = {
      {{"-G", "-D"}, "", "-G must specify a specific device via -d\n--help for usage information\n"},
      {{"-U"}, "", "Must specify the specific device to be updated\n"},
      {{"-N"}, "", "Must specify the serial port used for connecting\n"},
      {{"-B"}, "", "Error must supply a serial number for the List Builds command\n" + kBasicUsage},
      {{"-L"}, "", "Error must supply a serial number for the List Local Builds command\n" + kBasicUsage},
      {{"-J"}, "", "Error must supply a serial number for the Get JWT command\n" + kBasicUsage},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.err);
    std::vector<std::string> args{"-i", dir_.path()};
    args.insert(args.end(), r.args.begin(), r.args.end());
    ProcessResult res = Updater(args);
    EXPECT_EQ(res.exitStatus, 1);
    EXPECT_EQ(res.out, kVersionLine + r.out);
    EXPECT_EQ(res.err, r.err);
  }
}

// Without -i the store is ~/.vantorel/updater, the home directory coming from the password
// database. A private mount namespace lays an empty file system over it for the run.
TEST_F(CommandLine, DefaultStorageUnderTheHomeDirectory) {
  if (RunProcess({"unshare", "-m", "true"}).exitStatus != 0) GTEST_SKIP() << "no private mount namespace here";
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::string home = pw->pw_dir;
  ASSERT_FALSE(home.empty());
  // Usage creates nothing; -Z creates both levels with mode 0755. HOME points elsewhere to
  // show the password database wins.
  const std::string script =
      "set -e; mount --make-rprivate /; mkdir -p \"$1\"; mount -t tmpfs tmpfs \"$1\";"
      "HOME=/nonexistent \"$2\" >/dev/null 2>&1; echo \"usage: $(ls -A \"$1\")\";"
      "HOME=/nonexistent \"$2\" -Z 5; stat -c '%n %a %F' \"$1/.vantorel\" \"$1/.vantorel/updater\"";
  ProcessResult res = RunProcess({"unshare", "-m", "sh", "-c", script, "sh", home, kUpdater});
  EXPECT_EQ(res.exitStatus, 0) << res.err;
  EXPECT_EQ(res.out, "usage: \n" + kVersionLine + home + "/.vantorel 755 directory\n" + home +
                         "/.vantorel/updater 755 directory\n");
}

// Until the update flows are built in, a command that needs them fails with one line.
TEST_F(CommandLine, CommandsNeedingTheUpdaterFailCleanly) {
  ProcessResult res = Updater({"-i", dir_.path(), "-B", "-d", "40F5849A"});
  EXPECT_EQ(res.exitStatus, 1);
  EXPECT_EQ(res.out, kVersionLine);
  EXPECT_EQ(res.err, "Listing server builds is not available in this build of the updater\n");
}

}  // namespace
