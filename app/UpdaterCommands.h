#pragma once
// What the command dispatch asks of the updater: one call per command step. Each call does
// its work and prints its result through the display; the dispatch prints the surrounding
// messages and maps the results to the exit status.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"

class UpdaterCommands {
 public:
  virtual ~UpdaterCommands() = default;

  // Reads and prints the chip fingerprint through the boot loader on the serial port, for the
  // module with the serial number. False when the chip did not answer.
  virtual bool Fingerprint(const std::string& serialPort, uint32_t serialNumber, const std::string& birdFile,
                           uint32_t baudRate) = 0;
  // Stores a build of the module's firmware (empty text: the latest). The build obtained, 0 on failure.
  virtual uint32_t Download(uint32_t serialNumber, const std::string& buildNumber, bool override) = 0;
  // Discovers and lists modules; the router variant those behind a routing module.
  // False only when the search could not run at all; finding nothing is not a failure.
  virtual bool Discover(uint32_t linkType) = 0;
  virtual bool DiscoverBehindRouter(uint32_t routerSerialNumber, uint32_t linkType) = 0;
  virtual void SetUEIBytesLoad(bool useUEIBytes) = 0;
  virtual bool Update(uint32_t serialNumber, uint32_t build, const std::string& birdFile, uint8_t moduleAddress,
                      uint32_t routerSerialNumber, bool override) = 0;
  virtual bool Recover(const std::string& serialPort, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                       const std::string& birdFile, bool override) = 0;
  // Listings of the builds on the server, the builds in the store and the feature token.
  // False only when the listing could not run at all; an empty list is not a failure.
  virtual bool ListBuilds(uint32_t serialNumber) = 0;
  virtual bool ListLocalBuilds(uint32_t serialNumber) = 0;
  virtual bool ShowJWT(uint32_t serialNumber) = 0;
};

using UpdaterFactory = std::function<std::unique_ptr<UpdaterCommands>(
    const std::string& serverURL, const std::string& storageDirectory, UpdaterDisplayInterface& display)>;

// The updater the program runs with, for the server URL and the storage directory.
std::unique_ptr<UpdaterCommands> CreateUpdaterCommands(const std::string& serverURL,
                                                       const std::string& storageDirectory,
                                                       UpdaterDisplayInterface& display);
