#pragma once
// What the simulator plays: the modules with their identities, values and transports, read
// from a JSON file and/or the command line.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qwsim {

// One value of an entity option. Scalars carry one element in `values`; a subindexed option
// carries one element per subindex. Byte arrays live in `bytes`.
struct OptionValue {
  uint8_t type = 4;  // 0 call, 1 byte, 2 short, 4 int, 5 byte array
  bool readable = true;
  bool writable = false;
  bool subindexed = false;
  std::vector<uint32_t> values{0};
  std::vector<uint8_t> bytes;
};

struct EntityConfig {
  uint8_t command = 0;
  uint8_t index = 0;
  std::map<uint8_t, OptionValue> options;
};

struct SlotConfig {
  uint16_t capacity = 256;
  std::vector<uint8_t> data;
};

struct StreamSource {
  uint8_t command = 3, option = 0, index = 0;
  uint8_t kind = 3;  // 1..3 without subindex, 5..7 with
  uint8_t subindex = 0;
  uint32_t value = 0;
  uint32_t step = 0;       // added to the value after each sample
  uint32_t periodMs = 100;
};

struct I2CDevice {
  uint8_t address = 0;  // 8-bit bus address, read/write bit clear
  std::vector<uint8_t> memory;
};

struct FaultConfig {
  std::string kind;     // no_reply, wrong_data_ack, wrong_sum, refuse_prepare, refuse_write,
                        // ignore_sync, drop_link, garbage, delay, refuse_connections
  std::string request;  // request kind it applies to ("" = the kind's natural one / any)
  uint32_t nth = 1;     // first matching request it fires on (1 = the first)
  uint32_t count = 1;   // how many times it fires at most
  uint32_t ms = 0;      // delay
  uint32_t bytes = 0;   // drop_link: received bytes after which the connection is reset
  std::vector<uint8_t> garbage{0x00, 0x01, 0xFF};
  uint8_t status = 1;   // refuse_prepare / refuse_write: status byte of the refusal
};

struct UpgradeConfig {
  uint32_t loadBase = 0x20000000;
  uint16_t blockSize = 1024;
  uint32_t flashBase = 0;
  uint32_t flashSize = 4u << 20;
  std::string flashFile;  // "" = qwsim-<SERIAL>.flash in the working directory
  uint32_t rebootMs = 500;
  uint32_t loadGapMs = 0;  // > 0: LOAD also drops the links for this long
  bool uei = false;        // byte-array data on option 10
  bool hasPostVersion = false;
  uint32_t postVersion = 0;  // packed
  bool hasPostBuild = false;
  uint32_t postBuild = 0;
};

struct ModuleConfig {
  uint32_t serial = 0x51A10001;
  uint8_t model = 19;
  uint8_t address = 2;
  uint32_t version = 0;  // packed
  uint32_t build = 1;
  std::string name = "qwsim";
  uint32_t features = 0;
  uint32_t heartbeatMs = 0;
  int tcpPort = -1;  // -1 no listener, 0 pick one
  bool pty = false;
  bool ptyCobs = false;
  bool usb = false;  // behind an emulated USB device
  std::map<uint8_t, uint32_t> system;  // system entity overrides by option code
  std::vector<EntityConfig> entities;
  std::map<uint8_t, std::vector<SlotConfig>> stores;
  std::map<uint8_t, std::vector<uint8_t>> factory;
  std::vector<StreamSource> streams;
  std::vector<I2CDevice> i2c;
  std::vector<ModuleConfig> behind;  // modules on this routing module's bus, by `address`
  UpgradeConfig upgrade;
  std::vector<FaultConfig> faults;
};

struct Config {
  std::vector<ModuleConfig> modules;
  std::string bind = "127.0.0.1";
  std::string discovery;  // IPv4 address of the interface the responder joins on; "" = off
  std::string report;
  double maxSeconds = 0;  // 0 = no limit
  std::vector<std::string> command;  // after "--": run as a child; its end ends the run
};

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);
bool parseVersion(const std::string& text, uint32_t& packed);

// Parses argv; on failure returns false with a message in `error`.
bool parseCommandLine(int argc, char** argv, Config& cfg, std::string& error);
bool loadConfigFile(const std::string& path, Config& cfg, std::string& error);
extern const char* kUsage;

}  // namespace qwsim
