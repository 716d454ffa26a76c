#pragma once
// Byte-level pieces of the simulator: module packets, the raw packet parser, the COBS frame
// codec with its CRC-8, hex helpers and SHA-256. Kept separate from the device library on
// purpose: a framing fault must not hide by being the same on both ends of a test.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qwsim {

constexpr size_t kMaxData = 28;
constexpr uint8_t kPresenceAddress = 173;
constexpr uint8_t kForceRouteAddress = 175;

struct Packet {
  uint8_t address = 0;
  uint8_t length = 0;
  std::array<uint8_t, kMaxData> data{};

  static Packet make(uint8_t address, std::initializer_list<uint8_t> bytes);
  static Packet make(uint8_t address, const uint8_t* bytes, size_t n);
  void push(uint8_t b) { data[length++] = b; }
  void push32(uint32_t v);
  void push16(uint16_t v);
  // Wire image: address, length, data.
  size_t wire(uint8_t* out) const;
};

// Assembles packets from a raw byte stream (no delimiter, no checksum). A zero address byte
// is skipped and a length above 28 abandons the packet, so the parser falls back in step with
// the host's presence requests after line noise.
class PacketParser {
 public:
  // Feeds one byte; returns true when `out` now holds a complete packet.
  bool feed(uint8_t b, Packet& out);
  uint64_t errors() const { return errors_; }

 private:
  Packet cur_;
  int stage_ = 0;  // 0 address, 1 length, 2 data
  uint8_t expected_ = 0;
  uint64_t errors_ = 0;
};

uint8_t crc8(const uint8_t* p, size_t n);
// COBS with the standard 254-byte block rule; the frame delimiter is not included.
std::vector<uint8_t> cobsEncode(const uint8_t* p, size_t n);
// Returns false for a malformed frame.
bool cobsDecode(const uint8_t* p, size_t n, std::vector<uint8_t>& out);

// Frames: COBS(wire image + CRC-8) followed by one zero byte.
void appendCobsFrame(const Packet& p, std::string& out);

// Assembles COBS frames; complete frames that pass every check become packets.
class CobsParser {
 public:
  bool feed(uint8_t b, Packet& out);
  uint64_t errors() const { return errors_; }

 private:
  std::vector<uint8_t> buf_;
  uint64_t errors_ = 0;
};

std::string hex(const uint8_t* p, size_t n, bool upper = false);
bool unhex(const std::string& s, std::vector<uint8_t>& out);
std::string sha256Hex(const uint8_t* p, size_t n);

}  // namespace qwsim
