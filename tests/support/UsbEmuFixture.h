#pragma once
// A test fixture with a umockdev USB emulator. Every test process gets its own TMPDIR (under
// the build tree) before umockdev makes its test bed there, so parallel tests and runs that
// were killed never share or leak a test bed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "usbemu.h"

class UsbEmuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string tmpdir = [] {
      std::string base = std::string(QW_BINARY_DIR) + "/test-tmp";
      mkdir(base.c_str(), 0755);
      std::string pattern = base + "/usb-XXXXXX";
      char* made = mkdtemp(pattern.data());
      if (made == nullptr) return std::string();
      // umockdev empties its test bed when the emulator goes; the folder goes at exit.
      static std::string remove = made;
      atexit([] { rmdir(remove.c_str()); });
      return remove;
    }();
    ASSERT_FALSE(tmpdir.empty());
    setenv("TMPDIR", tmpdir.c_str(), 1);
    std::string error;
    emu = qwemu::UsbEmulator::Create(&error);
    ASSERT_TRUE(emu) << error;
  }

  qwemu::UsbDevice* Add(const std::string& serial, uint16_t product = 0x0001) {
    qwemu::UsbDeviceConfig config;
    config.serial = serial;
    config.productId = product;
    std::string error;
    qwemu::UsbDevice* device = emu->AddDevice(config, &error);
    EXPECT_NE(device, nullptr) << error;
    return device;
  }

  // Retries an action until it succeeds or the deadline passes.
  template <typename F>
  static bool Eventually(F action, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (action()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::unique_ptr<qwemu::UsbEmulator> emu;
};
