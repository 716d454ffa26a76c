#include "Parameters.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"
#include "aDirectory.h"

const char* const kDefaultServerHost = "updates.vantorel.com";

std::string DefaultServerURL(bool https) {
  return std::string(https ? "https://" : "http://") + kDefaultServerHost + "/cgi/u";
}

const OptionDef g_rgOptions[] = {
    {"-B", OPTGROUP_COMMAND, false, OPT_LIST_BUILDS},
    {"-L", OPTGROUP_COMMAND, false, OPT_LIST_LOCAL},
    {"-D", OPTGROUP_COMMAND, false, OPT_DISCOVER},
    {"-G", OPTGROUP_COMMAND, false, OPT_GET},
    {"-I", OPTGROUP_COMMAND, false, OPT_INFO},
    {"-U", OPTGROUP_COMMAND, false, OPT_UPDATE},
    {"-OVERRIDE", OPTGROUP_COMMAND, false, OPT_OVERRIDE},
    {"-N", OPTGROUP_COMMAND, false, OPT_FINGERPRINT},
    {"-Y", OPTGROUP_COMMAND, false, OPT_Y},
    {"-C", OPTGROUP_COMMAND, false, OPT_CHECK},
    {"-J", OPTGROUP_COMMAND, false, OPT_JWT},
    {"-h", OPTGROUP_HELP, false, OPT_HELP_LOWER},
    {"-H", OPTGROUP_HELP, false, OPT_HELP_UPPER},
    {"-n", OPTGROUP_PARAMETER, false, OPT_FLAG_N},
    {"-X", OPTGROUP_PARAMETER, true, OPT_DEBUG_MASK},
    {"-Z", OPTGROUP_PARAMETER, true, OPT_Z},
    {"-m", OPTGROUP_PARAMETER, true, OPT_UEI_BYTES},
    {"-i", OPTGROUP_PARAMETER, true, OPT_STORAGE},
    {"-b", OPTGROUP_PARAMETER, true, OPT_BUILD},
    {"-d", OPTGROUP_PARAMETER, true, OPT_SERIAL},
    {"-t", OPTGROUP_PARAMETER, true, OPT_TRANSPORT},
    {"-f", OPTGROUP_PARAMETER, true, OPT_BIRD_FILE},
    {"-r", OPTGROUP_PARAMETER, true, OPT_ROUTER},
    {"-s", OPTGROUP_PARAMETER, true, OPT_SERIAL_PORT},
    {"-o", OPTGROUP_PARAMETER, true, OPT_BAUD},
    {"-e", OPTGROUP_PARAMETER, false, OPT_ECHO},
    {"-l", OPTGROUP_PARAMETER, true, OPT_HISTORY},
    {"-k", OPTGROUP_PARAMETER, true, OPT_LOG_FILE},
    {"-u", OPTGROUP_PARAMETER, true, OPT_SERVER},
    {"--help", OPTGROUP_HELP, false, OPT_HELP_LONG},
    {"--http", OPTGROUP_HTTP, false, OPT_HTTP},
    {"--https", OPTGROUP_HTTPS, false, OPT_HTTPS},
    {nullptr, 0, false, OPT_END},
};

namespace {

size_t LeadingDashes(const std::string& s) {
  size_t n = 0;
  while (n < s.size() && s[n] == '-') ++n;
  return n;
}

// Digits-only conversion shared by the hexadecimal and decimal readers.
uint32_t ConvertDigits(const char* text, char** end, const char* digits, int base) {
  if (!text || !*text || text[strspn(text, digits)] != '\0') return 0;
  char* stop = nullptr;
  unsigned long value = strtoul(text, &stop, base);
  if (end) *end = stop;
  return static_cast<uint32_t>(value);
}

// Reads the -X mask: "0x" or "0X" selects hexadecimal. Returns what follows the digits.
const char* ParseMask(const char* value, uint32_t& mask) {
  const char* digits = "0123456789";
  int base = 10;
  if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    value += 2;
    digits = "0123456789abcdefABCDEF";
    base = 16;
  }
  size_t n = strspn(value, digits);
  mask = n ? static_cast<uint32_t>(strtoul(std::string(value, n).c_str(), nullptr, base)) : 0;
  return value + n;
}

// The -d and -r values: an optional "0x" prefix, then hexadecimal digits, not zero.
bool ParseSerial(UpdaterDisplayInterface& display, const std::string& value, bool router, uint32_t& out) {
  std::string digits = value;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.erase(0, 2);
    Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                   : "Discarding '0x' serial number prefix\n");
  }
  out = _get_hex_arg(digits.c_str(), nullptr);
  if (out != 0) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  router ? "Invalid router serial number obtained from argument [%s]"
                         : "Invalid serial number obtained from argument [%s]",
                  digits.c_str());
  return false;
}

}  // namespace

const OptionDef* FindOption(const std::string& word) {
  const size_t dashes = LeadingDashes(word);
  const OptionDef* partial = nullptr;
  int partialCount = 0;
  for (const OptionDef* opt = g_rgOptions; opt->id != OPT_END; ++opt) {
    const std::string text = opt->text;
    if (text == word) return opt;
    // Every option the word is a proper prefix of matches it over the word's whole length,
    // so two such options are an ambiguous word.
    if (word.size() > dashes && word.size() < text.size() && LeadingDashes(text) == dashes &&
        text.compare(0, word.size(), word) == 0) {
      partial = opt;
      ++partialCount;
    }
  }
  return partialCount == 1 ? partial : nullptr;
}

uint32_t _get_hex_arg(const char* text, char** end) {
  return ConvertDigits(text, end, "0123456789abcdefABCDEF", 16);
}

uint32_t _get_int_arg(const char* text, char** end) { return ConvertDigits(text, end, "0123456789", 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& p) {
  p = Parameters();
  if (argc > 0 && argv[0]) {
    const char* name = argv[0];
    for (const char* c = argv[0]; *c; ++c)
      if (*c == '/' || *c == '\\') name = c + 1;
    p.programName = name;
  }
  char home[2048] = "";
  aDirectory_GetHomeDirectory(home, sizeof home);
  p.homeDirectory = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", p.homeDirectory.c_str());

  bool failed = false;
  int serverURLs = 0;
  // Option words with their values in the order read, then the words that are not options,
  // as the parameter log lists them.
  std::vector<const char*> optionWords, otherWords;

  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] != '-') {
      otherWords.push_back(word);
      continue;
    }
    optionWords.push_back(word);

    std::string name = word;
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }

    // Unknown, ambiguous and malformed option words are skipped without a message.
    const OptionDef* opt = FindOption(name);
    if (!opt) continue;
    if (!opt->takesValue && hasValue) continue;
    if (opt->takesValue && !hasValue) {
      if (i + 1 >= argc || argv[i + 1][0] == '-') continue;
      value = argv[++i];
      optionWords.push_back(argv[i]);
    }

    switch (opt->id) {
      case OPT_HELP_LOWER:
      case OPT_HELP_UPPER:
      case OPT_HELP_LONG:
        // Help wins over everything: the rest of the command line is not read.
        p.commands.Set(CMD_HELP);
        p.helpRequested = true;
        return 0;
      case OPT_LIST_BUILDS: p.commands.Set(CMD_LIST_BUILDS); break;
      case OPT_LIST_LOCAL: p.commands.Set(CMD_LIST_LOCAL); break;
      case OPT_DISCOVER: p.commands.Set(CMD_DISCOVER); break;
      case OPT_GET: p.commands.Set(CMD_GET); break;
      case OPT_INFO: p.commands.Set(CMD_INFO); break;
      case OPT_UPDATE: p.commands.Set(CMD_UPDATE); break;
      case OPT_FINGERPRINT: p.commands.Set(CMD_FINGERPRINT); break;
      case OPT_CHECK: p.commands.Set(CMD_CHECK); break;
      case OPT_JWT: p.commands.Set(CMD_JWT); break;
      case OPT_OVERRIDE: p.override = true; break;
      case OPT_Y:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", opt->text);
        failed = true;
        break;
      case OPT_SERIAL:
        if (!ParseSerial(display, value, false, p.serialNumber)) failed = true;
        break;
      case OPT_ROUTER:
        if (!ParseSerial(display, value, true, p.routerSerialNumber)) failed = true;
        break;
      case OPT_BUILD: p.buildNumber = std::to_string(_get_int_arg(value.c_str(), nullptr)); break;
      case OPT_BAUD: p.baudRate = _get_int_arg(value.c_str(), nullptr); break;
      case OPT_TRANSPORT:
        p.transportGiven = true;
        if (value.compare(0, 3, "USB") == 0) {
          p.transport = TRANSPORT_USB;
        } else if (value.compare(0, 3, "TCP") == 0) {
          p.transport = TRANSPORT_TCPIP;
        } else if (value.compare(0, 7, "RECOVER") == 0) {
          p.transport = TRANSPORT_RECOVER;
        } else {
          display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                          value.c_str());
          p.transport = TRANSPORT_INVALID;
          failed = true;
        }
        break;
      case OPT_DEBUG_MASK: {
        p.extendedHelp = true;
        const char* rest = ParseMask(value.c_str(), p.debugMask);
        if (*rest) {
          // A malformed mask activates nothing but does not fail the command line.
          display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Invalid format for \"%s\" parameter, unprocessed characters [%s]", opt->text, rest);
        } else {
          // Active at once, so the rest of parsing logs under the new packages.
          Log::ActivatePackage(p.debugMask);
        }
        break;
      }
      case OPT_SERVER:
        p.serverURL = value;
        ++serverURLs;
        break;
      case OPT_HTTP:
        p.serverURL = DefaultServerURL(false);
        ++serverURLs;
        break;
      case OPT_HTTPS:
        p.serverURL = DefaultServerURL(true);
        ++serverURLs;
        break;
      case OPT_UEI_BYTES: p.useUEIBytes = value[0] == '1' || value.compare(0, 4, "true") == 0; break;
      case OPT_SERIAL_PORT: p.serialPort = value; break;
      case OPT_BIRD_FILE: p.birdFile = value; break;
      case OPT_STORAGE: p.storageDirectory = value; break;
      case OPT_HISTORY: p.historyMessage = value; break;
      case OPT_LOG_FILE: p.logFile = value; break;
      case OPT_ECHO: p.echo = true; break;
      case OPT_FLAG_N: p.flagN = true; break;
      case OPT_Z: p.commands.Set(CMD_Z); break;
      default: break;
    }
  }

  if (serverURLs > 1) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    failed = true;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.programName.c_str());
  if (argc > 0 && argv[0]) Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
  for (const char* w : optionWords) Log::log(DEBUG_APP, "\t[%s]\n", w);
  for (const char* w : otherWords) Log::log(DEBUG_APP, "\t[%s]\n", w);

  return failed ? 1 : 0;
}
