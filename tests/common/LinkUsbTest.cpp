// USB links through real libusb to the module simulator's emulated USB device: the
// simulator runs link_usb_client on its bus (see LinkUsbClient.cpp).

#include <gtest/gtest.h>

#include "QwsimHarness.h"

using namespace qwtest;

TEST(LinkUsb, SyncAfterStartMuteModuleAndUnplug) {
  std::string dir = makeTempDir("linkusb");
  setenv("TMPDIR", dir.c_str(), 1);  // umockdev keeps its test bed there
  json cfg = {{"modules",
               json::array({{{"serial", "40F5849A"}, {"address", 2}, {"usb", true},
                             {"upgrade", {{"reboot_ms", 200}}}},
                            {{"serial", "11223344"}, {"address", 4}, {"usb", true},
                             {"faults", json::array({{{"kind", "ignore_sync"}, {"nth", 1},
                                                      {"count", 1000000}}})}}})}};
  writeFile(dir + "/config.json", cfg.dump());
  Sim sim({"--config", dir + "/config.json", "--report", dir + "/report.json", "--",
           LINK_USB_CLIENT, "40F5849A", "2", "11223344"},
          60);
  EXPECT_EQ(sim.wait(50000), 0) << "the link client failed (its messages are on stderr)";
  json rep = json::parse(readFile(dir + "/report.json"));
  json m = rep["modules"][0];
  // Sync requests after the start (those still queued once two answers matched are
  // discarded), then the client's own presence request.
  EXPECT_GE(m["requests"]["presence"].get<int>(), 3);
  EXPECT_EQ(m["reboots"], 1);
  EXPECT_GE(rep["modules"][1]["requests"]["presence"].get<int>(), 6);
  std::system(("rm -rf '" + dir + "'").c_str());
}
