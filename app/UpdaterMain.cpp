#include "UpdaterMain.h"

#include <cstdio>

#include "AppTexts.h"
#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "aDirectory.h"
#include "aErr.h"

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The serial number the fingerprint flow is given when no module is known; the default
// recovery image is stored under it.
constexpr uint32_t kNoModuleSerialNumber = 0xDEADDEAD;

// The storage directory: DIR/updater for -i DIR, else ~/.vantorel/updater. Empty when the
// home directory is unknown.
std::string StorageDirectory(const Parameters& p) {
  std::string parent = p.storageDirectory;
  if (parent.empty()) {
    char home[2048] = "";
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    // An empty home would put the store at the root of the file system.
    if (err == aErrNone && home[0] == '\0') err = aErrNotFound;
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
      return std::string();
    }
    parent = BuildPath(home, ".vantorel", nullptr);
  }
  return BuildPath(parent.c_str(), "updater", nullptr);
}

// Runs the first of discover, update and the listings that was asked for; its outcome is
// the exit status. -1 when none of them was asked for.
int RunMainCommand(const Parameters& p, UpdaterCommands& updater, UpdaterDisplayInterface& display) {
  if (p.commands.IsSet(CMD_DISCOVER)) {
    // Recovery is no link type; discovery then looks on USB.
    uint32_t linkType = p.transportGiven && p.transport != TRANSPORT_RECOVER ? p.transport : 0;
    bool ran;
    if (p.routerSerialNumber) {
      display.message(INFO, "Searching for Quarkwire Network devices connected to %08X", p.routerSerialNumber);
      ran = updater.DiscoverBehindRouter(p.routerSerialNumber, linkType);
    } else {
      display.message(INFO, "Searching for Quarkwire devices");
      ran = updater.Discover(linkType ? linkType : TRANSPORT_USB);
    }
    return ran ? 0 : 1;
  }

  if (p.commands.IsSet(CMD_UPDATE)) {
    const uint32_t build = _get_int_arg(p.buildNumber.c_str(), nullptr);
    updater.SetUEIBytesLoad(p.useUEIBytes);
    if (p.transport == TRANSPORT_RECOVER)
      return updater.Recover(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile, p.override) ? 0 : 1;
    if (p.serialNumber == 0) {
      display.message(ERROR, "Must specify the specific device to be updated");
      return 1;
    }
    return updater.Update(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerialNumber, p.override) ? 0
                                                                                                              : 1;
  }

  struct Listing {
    uint32_t command;
    const char* missingSerial;
    bool (UpdaterCommands::*run)(uint32_t);
  };
  static const Listing listings[] = {
      {CMD_LIST_BUILDS, "Error must supply a serial number for the List Builds command", &UpdaterCommands::ListBuilds},
      {CMD_LIST_LOCAL, "Error must supply a serial number for the List Local Builds command",
       &UpdaterCommands::ListLocalBuilds},
      {CMD_JWT, "Error must supply a serial number for the Get JWT command", &UpdaterCommands::ShowJWT},
  };
  for (const Listing& l : listings) {
    if (!p.commands.IsSet(l.command)) continue;
    if (p.serialNumber == 0) {
      display.message(ERROR, "%s", l.missingSerial);
      _display_usage(false, false);
      return 1;
    }
    return (updater.*l.run)(p.serialNumber) ? 0 : 1;
  }
  return -1;
}

}  // namespace

int RunCommandLine(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& makeUpdater) {
  Parameters p;
  if (_get_params(display, argc, argv, p) != 0) {
    _display_app_version(display);
    _display_notice(display);
    _display_usage(false, false);
    return 1;
  }
  _display_app_version(display);

  if (p.commands.IsSet(CMD_HELP) || !p.commands.IsSet(CMD_RUN_MASK)) {
    _display_notice(display);
    _display_usage(p.extendedHelp, p.helpRequested);
    return 0;
  }

  const std::string storage = StorageDirectory(p);
  if (storage.empty()) return 1;
  // A path that exists as something other than a directory passes aDirectory_Ensure but
  // cannot hold the store.
  if (aDirectory_Ensure(storage.c_str(), 0755) != aErrNone || !aDirectory_Exists(storage.c_str())) {
    display.message(ERROR, "Could not find updater directory at %s", storage.c_str());
    return 1;
  }

  std::unique_ptr<UpdaterCommands> updater = makeUpdater(p.serverURL, storage, display);
  // Once a step has failed the run fails, even when a later step succeeds.
  int status = 0;

  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serialPort.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    if (!updater->Fingerprint(p.serialPort, kNoModuleSerialNumber, p.birdFile, p.baudRate)) {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (p.commands.IsSet(CMD_GET)) {
    if (p.serialNumber == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", p.serialNumber);
    if (p.buildNumber.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", p.buildNumber.c_str());
    }
    const uint32_t build = updater->Download(p.serialNumber, p.buildNumber, p.override);
    if (build != 0)
      p.buildNumber = std::to_string(build);  // a following update installs exactly this build
    else
      status = 1;
  }

  const int outcome = RunMainCommand(p, *updater, display);
  if (outcome < 0) return status;
  return outcome != 0 || status != 0 ? 1 : 0;
}

int UpdaterMain(int argc, char** argv) {
  CLI_Display display;
  Log::SetOutput(stderr);
  return RunCommandLine(argc, argv, display, CreateUpdaterCommands);
}
