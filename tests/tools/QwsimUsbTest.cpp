// qwsim's USB transport seen through real libusb: qwsim puts the module on an emulated bus
// and runs a plain libusb program as its command (see QwsimUsbClient.cpp).

#include <gtest/gtest.h>

#include "QwsimHarness.h"

using namespace qwtest;

TEST(QwsimUsb, EnumeratesAnswersAndReenumeratesAfterReboot) {
  std::string dir = makeTempDir("usb");
  // umockdev keeps its test bed under TMPDIR: a private one per run.
  setenv("TMPDIR", dir.c_str(), 1);
  json cfg = {{"modules", json::array({{{"serial", "40F5849A"}, {"model", 19}, {"address", 2}, {"usb", true},
                                        {"upgrade", {{"reboot_ms", 200}}}}})}};
  writeFile(dir + "/config.json", cfg.dump());
  Sim sim({"--config", dir + "/config.json", "--report", dir + "/report.json", "--", QWSIM_USB_CLIENT, "40F5849A", "19"}, 30);
  EXPECT_TRUE(sim.ready["modules"][0]["usb"].get<bool>());
  EXPECT_EQ(sim.wait(25000), 0) << "the libusb client failed (its message is on stderr)";
  json rep = json::parse(readFile(dir + "/report.json"));
  EXPECT_EQ(rep["reason"], "command");
  json m = rep["modules"][0];
  EXPECT_EQ(m["usb"]["enumerations"], 2);
  EXPECT_EQ(m["reboots"], 1);
  EXPECT_EQ(m["requests"]["presence"], 2);
  EXPECT_EQ(m["requests"]["uei_get"], 1);
  std::system(("rm -rf '" + dir + "'").c_str());
}
