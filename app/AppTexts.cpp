#include "AppTexts.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "Parameters.h"

const char* const kAppName = "Updater";
const char* const kAppVersion = "Version: 2.12.3 May 19 2026";

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", kAppName, kAppVersion);
}

void _display_notice(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO,
                  "Writes firmware into Quarkwire modules; keep a module connected and powered while it is updated.");
}

namespace {

// Appends text to the usage with printf-style padding.
class UsageWriter {
 public:
  explicit UsageWriter(std::string& out) : out_(out) {}

  void Line(const char* text = "") {
    out_ += text;
    out_ += '\n';
  }

  void Heading(const char* text) {
    out_ += "  ";
    Line(text);
  }

  // An option entry: five spaces, the option form in 25 columns, "- " and the description,
  // each further description line under the first.
  void Option(const char* form, std::initializer_list<std::string> lines, bool blankAfter = false) {
    Padded(5, form, 25, "- ", lines, 32);
    if (blankAfter) Line();
  }

  // A sample command line in 31 columns with its description; an empty line follows.
  void Sample(const char* command, std::initializer_list<std::string> lines) {
    Padded(0, command, 31, "", lines, 31);
    Line();
  }

  // A sample whose command line stands alone, its description below it.
  void SampleAlone(const char* command, std::initializer_list<std::string> lines) {
    Line(command);
    for (const std::string& l : lines) Indented(31, l);
    Line();
  }

  void Package(const char* name, uint32_t bit) {
    char text[64];
    snprintf(text, sizeof text, "%-20s0x%08X", name, bit);
    Indented(32, text);
  }

 private:
  void Indented(int indent, const std::string& text) {
    out_.append(static_cast<size_t>(indent), ' ');
    Line(text.c_str());
  }

  void Padded(int indent, const char* form, int width, const char* mark, std::initializer_list<std::string> lines,
              int further) {
    char head[128];
    snprintf(head, sizeof head, "%*s%-*s%s", indent, "", width, form, mark);
    out_ += head;
    bool first = true;
    for (const std::string& l : lines) {
      if (first)
        Line(l.c_str());
      else
        Indented(further, l);
      first = false;
    }
  }

  std::string& out_;
};

void BasicBlock(UsageWriter& w) {
  char command[128];
  snprintf(command, sizeof command, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]", kAppName);
  w.Line();
  w.Line("Application Usage:");
  w.Line(command);
  w.Line("    [-d serial_num]");
  w.Line("    [-t transport] [-r router_serial]");
  w.Line("    [-s serial_port] [-o baud_rate]");
  w.Line();
  w.Line("  Quarkwire Update and Maintenance Application");
  w.Line("    -H -h or --help for full usage information.");
  w.Line();
}

void ParametersBlock(UsageWriter& w) {
  w.Heading("Parameters to commands:");
  w.Option("-i <vantorel_directory>",
           {"The Vantorel directory used for storage of ", "firmware files. [Default: ~/.vantorel ]."});
  w.Option("-b <build number>", {"Build version of the firmware to transfer.", "[Default: latest version available]."});
  w.Option("-d <device>", {"Device serial number of the device to access."});
  w.Option("-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
  w.Option("-f <bird file>", {"Firmware file to be transferred to device."});
  w.Option("-r <router serial>", {"indirect connection through router device"});
  w.Option("-s <serial port>", {"name of serial port to use for recovery"});
  w.Option("-o <baud rate>", {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"});
  w.Heading("Commands:");
  w.Option("-B", {"list the Builds available for given device."}, true);
  w.Option("-L", {"list the local Builds available for given device."}, true);
  w.Option("-D", {"Discover devices that are currently connected."}, true);
  w.Option("-G",
           {"Get build file from the Vantorel server and", "store on local machine for download to device.",
            "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
            "given device, override with \"-b\" option."},
           true);
  w.Option("-U", {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
                  "Default is to download the latest build for the", "given device, override with \"-b\" option or",
                  "specify specific BIRD file using \"-f\" option."});
  w.Option("-J", {"Get a JWT containing the devices software features"});
  w.Option("-H or -h", {"Display extended usage information."}, true);
  w.Option("--http", {"Use HTTP for the update server (" + DefaultServerURL(false) + ")."});
  w.Option("--https", {"Use HTTPS for the update server (" + DefaultServerURL(true) + ").",
                       "Recommended; HTTPS will be the default in the next major version."},
           true);
}

void ExtendedBlock(UsageWriter& w) {
  w.Heading("Extended Parameters:");
  w.Option("-e", {"echoing of bytes enabled during recovery."}, true);
  w.Option("-m", {"Attemps to use UEIBytes for faster loading"});
  w.Option("-l 'log message'", {"message to place in device history log"});
  w.Option("-k <filename>", {"log messages written into given filename", "Default:[APP.log]"});
  w.Option("-u <host:port>",
           {"The hostname and port of the update server", std::string("Default: ") + kDefaultServerHost + ":port"});
  w.Heading("Extended Commands:");
  w.Option("-I", {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
                  "specify a specific device [\"-d\" option]."},
           true);
  w.Option("-OVERRIDE", {"Override the model checks for BIRD firmware files.",
                         "This option should only be used when authorized by", "Vantorel development engineers."},
           true);
  w.Option("-N", {"Get fingerprint from a device, requires -s"}, true);
  w.Option("-X <BIT_MASK>", {"Bitmask for Logging"});
  w.Package("DEBUG_Updater", 0x00000001);
  w.Package("DEBUG_History", 0x00000002);
  w.Package("DEBUG_Attributes", 0x00000004);
  w.Package("DEBUG_BirdFile", 0x00000008);
  w.Package("DEBUG_Network", 0x00000010);
  w.Package("DEBUG_ServerComm", 0x00000020);
  w.Line();
  w.Package("DEBUG_Network", 0x00000100);
  w.Package("DEBUG_Network_SR", 0x00000200);
  w.Package("DEBUG_Network_FIRM", 0x00000400);
  w.Line();
  w.Package("DEBUG_NXPSerial", 0x00001000);
  w.Package("DEBUG_NXPSerial_E", 0x00002000);
  w.Package("DEBUG_NXPSerial_SR", 0x00004000);
  w.Line();
  w.Package("DEBUG_APP", 0x00010000);
  w.Line();
  w.Package("DEBUG_iMXSerial", 0x10000000);
  w.Line();
  w.Option("-C", {"Check the given BIRDFILE"}, true);
}

void SampleBlock(UsageWriter& w) {
  w.Line(" Sample usage:");
  w.Line();
  w.Sample("-D", {"Discover all devices connected by either USB or TCPIP.",
                  "Records the device information into the settings for that device."});
  w.Sample("-D -t USB", {"Discover all the devices connected by USB. Records the",
                         "device information into the settings for that device."});
  w.Sample("-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"});
  w.Sample("-G -d 40F5849A", {"Get the latest firmware for the given device.",
                              "Downloads the firmware file into the updater specific device directory."});
  w.Sample("-U -d 40F5849A", {"Update the firmware on the specific device.",
                              "Without other options, this command will try to locate",
                              "the latest firmware version to be used for updating the device."});
  w.Sample("-G -d 40F5849A -b 99528558", {"Get the specified build's firmware for the given device.",
                                          "Downloads the firmware file into the updater's specific",
                                          "device directory with the build number as the filename."});
  w.Sample("-G -U -d 40F5849A",
           {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
            "device directory. After download, update the firmware", "using the latest release."});
  w.Sample("-U -t RECOVER -s /dev/serial", {"Update the firmware as described above, but uses the serial interface",
                                            "in communicating with the device to install the latest firmware."});
  w.Line(" Sample usage for network discovery and updates:");
  w.Line();
  w.Sample("-D -r D272031D", {"Discover all devices connected to the I2C Quarkwire network",
                              "of the given routing device D272031D."});
  w.SampleAlone("-G -U -d 2181F0EE -r D272031D", {"Get and Update to the latest firmware for device 2181F0EE",
                                                   "indirectly through routing device D272031D."});
}

}  // namespace

std::string UsageText(bool extended, bool full) {
  std::string text;
  UsageWriter w(text);
  BasicBlock(w);
  if (full) {
    ParametersBlock(w);
    if (extended) ExtendedBlock(w);
    SampleBlock(w);
  }
  return text;
}

void _display_usage(bool extended, bool full) {
  const std::string text = UsageText(extended, full);
  fwrite(text.data(), 1, text.size(), stderr);
}
