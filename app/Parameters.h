#pragma once
// The parsed command line: the option table, the parameter record and its command bits.

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

// Command bits of CommandsClass, one per command option.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_JWT = 0x00000100,
  CMD_LIST_LOCAL = 0x00000200,
  CMD_HELP = 0x80000000,
};

// The commands main acts on; without any of them (or with help) main prints usage.
constexpr uint32_t CMD_RUN_MASK = 0x000307FF;

class CommandsClass {
 public:
  void Set(uint32_t bit) { bits |= bit; }
  bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
  uint32_t Bits() const { return bits; }

 private:
  uint32_t bits = 0;
};

// The update server the tool talks to unless -u names another one.
extern const char* const kDefaultServerHost;
std::string DefaultServerURL(bool https);

// Transport values of -t: the USB and TCP/IP link types, and recovery through a boot loader.
enum : uint32_t { TRANSPORT_INVALID = 0, TRANSPORT_USB = 1, TRANSPORT_TCPIP = 2, TRANSPORT_RECOVER = 255 };

struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;        // 0: none given
  uint32_t routerSerialNumber = 0;  // 0: direct access
  uint32_t transport = TRANSPORT_USB;
  bool transportGiven = false;
  std::string serialPort;  // "USB" selects the USB-HID boot loader
  uint32_t baudRate = 115200;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;
  std::string buildNumber;  // decimal text; empty means the latest build
  bool echo = false;
  std::string serverURL = DefaultServerURL(false);
  bool flagN = false;
  std::string storageDirectory;  // parent of the storage directory; empty: ~/.vantorel
  std::string programName;
  std::string homeDirectory;
  std::string logFile = "Updater.log";
  bool override = false;
  bool useUEIBytes = true;
  uint32_t debugMask = 0;
  bool extendedHelp = false;  // a -X option was seen
  bool helpRequested = false;
};

// Option groups of g_rgOptions.
enum OptionGroup { OPTGROUP_HELP = 0, OPTGROUP_COMMAND = 1, OPTGROUP_PARAMETER = 2, OPTGROUP_HTTPS = 3, OPTGROUP_HTTP = 4 };

enum OptionId {
  OPT_END = -1,
  OPT_LIST_BUILDS = 0,
  OPT_LIST_LOCAL,
  OPT_DISCOVER,
  OPT_GET,
  OPT_INFO,
  OPT_UPDATE,
  OPT_OVERRIDE,
  OPT_FINGERPRINT,
  OPT_Y,
  OPT_CHECK,
  OPT_JWT,
  OPT_HELP_LOWER,
  OPT_HELP_UPPER,
  OPT_FLAG_N,
  OPT_DEBUG_MASK,
  OPT_Z,
  OPT_UEI_BYTES,
  OPT_STORAGE,
  OPT_BUILD,
  OPT_SERIAL,
  OPT_TRANSPORT,
  OPT_BIRD_FILE,
  OPT_ROUTER,
  OPT_SERIAL_PORT,
  OPT_BAUD,
  OPT_ECHO,
  OPT_HISTORY,
  OPT_LOG_FILE,
  OPT_SERVER,
  OPT_HELP_LONG,
  OPT_HTTP,
  OPT_HTTPS,
};

struct OptionDef {
  const char* text;
  int group;
  bool takesValue;
  int id;  // OPT_END ends the table
};

extern const OptionDef g_rgOptions[];

// The row of g_rgOptions that an option word names: an exact match, or else the only option
// the word is a proper prefix of (same leading dashes, at least one letter after them).
// Null for an unknown or ambiguous word.
const OptionDef* FindOption(const std::string& word);

// Numbers of texts made only of hexadecimal (or decimal) digits; any other character, or an
// empty text, gives 0 and leaves *end untouched. The low 32 bits of the conversion are kept.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

// Fills the parameters from the command line. Returns 0 when it is acceptable, 1 otherwise;
// every rejected value is reported through the display at error level before returning.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters);
