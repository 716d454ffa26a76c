// The USB handle through real libusb on emulated devices.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "UsbEmuFixture.h"
#include "aStream.h"
#include "qwusb.h"

namespace {

using qwemu::Direction;

class Usb : public UsbEmuTest {
 protected:
  void TearDown() override {
    if (handle != nullptr) {
      qwusb_close_quarkwire_device(handle);
      qwusb_destroy(&handle);
    }
    Quarkwire_libusb_exit();
  }

  aErr Open(const char* serial) {
    if (handle == nullptr) handle = qwusb_create_usb(QWUSB_KIND_LIBUSB);
    return qwusb_open_quarkwire_device(handle, serial);
  }

  aErr Get(uint8_t* byte) { return qwusb_get_from_device(handle, byte); }

  qwusb* handle = nullptr;
};

TEST_F(Usb, OpensOnlyAnExactSerialOfAFamilyDevice) {
  Add("0000abcd");
  Add("0000EEEE", 0x8001);
  Add("00007FFF", 0x7FFF);
  struct Row {
    const char* serial;
    aErr result;
  } rows[] = {
      {"0000ABCD", aErrNotFound},  // only the lower-case string exists
      {"0000abc", aErrNotFound},
      {"0000EEEE", aErrNotFound},  // product 0x8001 is not a family device
      {"00007FFF", aErrNone},
  };
  for (const Row& row : rows) {
    qwusb* h = qwusb_create_usb(QWUSB_KIND_LIBUSB);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qwusb_open_quarkwire_device(h, row.serial), row.result) << row.serial;
    EXPECT_EQ(qwusb_get_state(h), row.result == aErrNone ? QWUSB_STATE_READY : QWUSB_STATE_CREATED)
        << row.serial;
    EXPECT_EQ(qwusb_close_quarkwire_device(h), row.result == aErrNone ? aErrNone : aErrMode);
    qwusb_destroy(&h);
    EXPECT_EQ(h, nullptr);
  }

  qwusb* kernel = qwusb_create_usb(QWUSB_KIND_KERNEL);
  EXPECT_EQ(qwusb_open_quarkwire_USBlib_device(kernel, "00007FFF"), aErrMode);
  qwusb_destroy(&kernel);
  EXPECT_EQ(qwusb_destroy(nullptr), aErrParam);
}

TEST_F(Usb, ClaimFailureClosesTheDevice) {
  qwemu::UsbDeviceConfig config;
  config.serial = "00000B5Y";
  config.claimErrno = EBUSY;
  std::string error;
  ASSERT_NE(emu->AddDevice(config, &error), nullptr) << error;
  EXPECT_EQ(Open("00000B5Y"), aErrBusy);
  EXPECT_EQ(qwusb_get_state(handle), QWUSB_STATE_CLOSED);
  uint8_t byte;
  EXPECT_EQ(Get(&byte), aErrConnection);
}

TEST_F(Usb, MovesBytesInChunksThatNeedNoZeroLengthPacket) {
  qwemu::UsbDevice* device = Add("0000ABCD");
  ASSERT_EQ(Open("0000ABCD"), aErrNone);
  EXPECT_EQ(qwusb_get_out_max_packet(handle), 512);

  std::vector<uint8_t> data(1500);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(qwusb_write_to_device(handle, data.data(), 512), aErrNone);
  EXPECT_EQ(device->OutTransferSizes(), (std::vector<size_t>{511, 1}));
  ASSERT_EQ(qwusb_write_to_device(handle, data.data() + 512, 988), aErrNone);
  EXPECT_EQ(device->WaitOut(1500, 2000), data);

  device->SendIn(data);
  std::vector<uint8_t> got;
  for (size_t i = 0; i < data.size(); i++) {
    uint8_t byte = 0;
    ASSERT_EQ(Get(&byte), aErrNone) << i;
    got.push_back(byte);
  }
  EXPECT_EQ(got, data);
}

TEST_F(Usb, HidesFourConsecutiveErrorsAndFailsOnTheFifth) {
  qwemu::UsbDevice* device = Add("0000ABCD");
  ASSERT_EQ(Open("0000ABCD"), aErrNone);
  uint8_t byte = 0;

  // Errors spaced by successes never fail the handle.
  for (int round = 0; round < 3; round++) {
    device->InjectError(Direction::In, 4);
    for (int i = 0; i < 4; i++) EXPECT_EQ(Get(&byte), aErrNotReady) << round << "/" << i;
    EXPECT_EQ(qwusb_get_state(handle), QWUSB_STATE_READY);
    const uint8_t one = static_cast<uint8_t>(0x40 + round);
    device->SendIn(&one, 1);
    ASSERT_EQ(Get(&byte), aErrNone);
    EXPECT_EQ(byte, one);
  }

  device->InjectError(Direction::In, 5);
  for (int i = 0; i < 4; i++) EXPECT_EQ(Get(&byte), aErrNotReady);
  EXPECT_EQ(Get(&byte), aErrIO);
  EXPECT_EQ(qwusb_get_state(handle), QWUSB_STATE_FAILED);
  const uint8_t late = 1;
  device->SendIn(&late, 1);
  EXPECT_EQ(Get(&byte), aErrIO);
  EXPECT_EQ(qwusb_write_to_device(handle, &late, 1), aErrIO);
}

TEST_F(Usb, StallsClearTheHaltAndTimeOutsAreRetried) {
  qwemu::UsbDevice* device = Add("0000ABCD");
  ASSERT_EQ(Open("0000ABCD"), aErrNone);
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};

  device->InjectStall(Direction::Out, 1);
  EXPECT_EQ(qwusb_write_to_device(handle, data.data(), data.size()), aErrNone);
  EXPECT_EQ(device->Counters().clearHalts, 1);
  device->InjectTimeout(Direction::Out, 1);
  EXPECT_EQ(qwusb_write_to_device(handle, data.data(), data.size()), aErrNone);
  EXPECT_EQ(device->Counters().discarded, 1);
  std::vector<uint8_t> twice = data;
  twice.insert(twice.end(), data.begin(), data.end());
  EXPECT_EQ(device->WaitOut(10, 2000), twice);

  // Ten failed transfers in a row give up with the bytes unsent.
  device->InjectError(Direction::Out, 10);
  EXPECT_EQ(qwusb_write_to_device(handle, data.data(), data.size()), aErrWrite);
  EXPECT_TRUE(device->TakeOut().empty());

  uint8_t byte = 0;
  device->InjectStall(Direction::In, 1);
  EXPECT_EQ(Get(&byte), aErrNotReady);
  EXPECT_EQ(device->Counters().clearHalts, 2);
  device->SendIn(data);
  EXPECT_EQ(Get(&byte), aErrNone);
  EXPECT_EQ(byte, 1);

  // A read that finds nothing waits for the read time-out, then reports no byte.
  for (int i = 0; i < 4; i++) ASSERT_EQ(Get(&byte), aErrNone);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&byte), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(Usb, UnplugFailsTheHandleAndTheModuleComesBackAsANewDevice) {
  qwemu::UsbDevice* device = Add("0000ABCD");
  ASSERT_EQ(Open("0000ABCD"), aErrNone);
  ASSERT_TRUE(device->Unplug());
  uint8_t byte = 0;
  for (int i = 0; i < 4; i++) EXPECT_EQ(Get(&byte), aErrNotReady) << i;
  EXPECT_EQ(Get(&byte), aErrIO);
  EXPECT_EQ(qwusb_get_state(handle), QWUSB_STATE_FAILED);
  qwusb_close_quarkwire_device(handle);
  qwusb_destroy(&handle);

  qwemu::UsbDeviceConfig config = device->Config();
  std::string error;
  ASSERT_TRUE(device->Replug(config, &error)) << error;
  ASSERT_TRUE(Eventually([&] {
    if (handle == nullptr) handle = qwusb_create_usb(QWUSB_KIND_LIBUSB);
    return qwusb_open_quarkwire_device(handle, "0000ABCD") == aErrNone;
  })) << "the re-enumerated device never became available";
  const uint8_t hello[] = {0x04, 0x00};
  EXPECT_EQ(qwusb_write_to_device(handle, hello, 2), aErrNone);
  EXPECT_EQ(device->WaitOut(2, 2000), std::vector<uint8_t>(hello, hello + 2));
}

TEST_F(Usb, StreamPrefersTheKernelNodeWhenItExists) {
  qwemu::UsbDevice* device = Add("0000ABCD");
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &stream), aErrNone);
  const uint8_t packet[2] = {0x04, 0x00};
  ASSERT_EQ(aStream_Write(stream, packet, 2), aErrNone);
  EXPECT_EQ(device->WaitOut(2, 2000), std::vector<uint8_t>(packet, packet + 2));
  device->SendIn(std::vector<uint8_t>{0x05, 0x01, 0x07});
  uint8_t in[3] = {};
  ASSERT_EQ(aStream_Read(stream, in, 3), aErrNone);
  EXPECT_EQ(in[2], 0x07);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0x12345678, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);

  // With the driver's node present the same module is reached through the node.
  std::string error;
  int node = emu->AddPtyNode("/dev/quarkwire.0000ABCD", &error);
  ASSERT_GE(node, 0) << error;
  ASSERT_TRUE(qwusb_is_kernel_driver_installed(0x0000ABCD));
  ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &stream), aErrNone);
  ASSERT_EQ(aStream_Write(stream, packet, 2), aErrNone);
  uint8_t got[2] = {};
  ASSERT_EQ(read(node, got, 2), 2);
  EXPECT_EQ(got[0], 0x04);
  EXPECT_TRUE(device->TakeOut().empty());
  ASSERT_EQ(write(node, "\x09", 1), 1);
  uint8_t byte = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  aErr err;
  while ((err = aStream_Read(stream, &byte, 1)) == aErrNotReady &&
         std::chrono::steady_clock::now() < end) {
  }
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(byte, 0x09);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
