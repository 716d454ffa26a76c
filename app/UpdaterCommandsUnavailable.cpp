// Placeholder updater for builds without the update flows: every command fails with one
// error line naming it. Replaced by the implementation over the Updater.

#include "UpdaterCommands.h"

namespace {

class UnavailableUpdater : public UpdaterCommands {
 public:
  explicit UnavailableUpdater(UpdaterDisplayInterface& display) : display_(display) {}

  bool Fingerprint(const std::string&, uint32_t, const std::string&, uint32_t) override { return Fail("Fingerprint"); }
  uint32_t Download(uint32_t, const std::string&, bool) override {
    Fail("Firmware download");
    return 0;
  }
  bool Discover(uint32_t) override { return Fail("Discovery"); }
  bool DiscoverBehindRouter(uint32_t, uint32_t) override { return Fail("Discovery"); }
  void SetUEIBytesLoad(bool) override {}
  bool Update(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool) override {
    return Fail("Firmware update");
  }
  bool Recover(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool) override {
    return Fail("Firmware recovery");
  }
  bool ListBuilds(uint32_t) override { return Fail("Listing server builds"); }
  bool ListLocalBuilds(uint32_t) override { return Fail("Listing local builds"); }
  bool ShowJWT(uint32_t) override { return Fail("Getting the JWT"); }

 private:
  bool Fail(const char* what) {
    display_.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build of the updater",
                     what);
    return false;
  }

  UpdaterDisplayInterface& display_;
};

}  // namespace

std::unique_ptr<UpdaterCommands> CreateUpdaterCommands(const std::string&, const std::string&,
                                                       UpdaterDisplayInterface& display) {
  return std::make_unique<UnavailableUpdater>(display);
}
