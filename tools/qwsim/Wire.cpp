#include "Wire.h"

#include <cstring>

namespace qwsim {

Packet Packet::make(uint8_t address, std::initializer_list<uint8_t> bytes) {
  Packet p;
  p.address = address;
  for (uint8_t b : bytes) p.push(b);
  return p;
}

Packet Packet::make(uint8_t address, const uint8_t* bytes, size_t n) {
  Packet p;
  p.address = address;
  p.length = static_cast<uint8_t>(n);
  std::memcpy(p.data.data(), bytes, n);
  return p;
}

void Packet::push32(uint32_t v) {
  push(uint8_t(v >> 24));
  push(uint8_t(v >> 16));
  push(uint8_t(v >> 8));
  push(uint8_t(v));
}

void Packet::push16(uint16_t v) {
  push(uint8_t(v >> 8));
  push(uint8_t(v));
}

size_t Packet::wire(uint8_t* out) const {
  out[0] = address;
  out[1] = length;
  std::memcpy(out + 2, data.data(), length);
  return size_t(length) + 2;
}

bool PacketParser::feed(uint8_t b, Packet& out) {
  switch (stage_) {
    case 0:
      if (b == 0) {
        ++errors_;
        return false;
      }
      cur_.address = b;
      cur_.length = 0;
      stage_ = 1;
      return false;
    case 1:
      if (b > kMaxData) {
        ++errors_;
        stage_ = 0;
        return false;
      }
      cur_.length = b;
      if (b == 0) {
        stage_ = 0;
        out = cur_;
        return true;
      }
      cur_.data.fill(0);
      stage_ = 2;
      cur_.length = 0;
      expected_ = b;
      return false;
    default:
      cur_.data[cur_.length++] = b;
      if (cur_.length == expected_) {
        stage_ = 0;
        out = cur_;
        return true;
      }
      return false;
  }
}

namespace {
// Dallas/Maxim CRC-8: reflected polynomial 0x8C, initial value 0, no final inversion.
struct Crc8Table {
  uint8_t t[256];
  Crc8Table() {
    for (int i = 0; i < 256; ++i) {
      uint8_t c = uint8_t(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
      t[i] = c;
    }
  }
};
const Crc8Table kCrc8;
}  // namespace

uint8_t crc8(const uint8_t* p, size_t n) {
  uint8_t c = 0;
  for (size_t i = 0; i < n; ++i) c = kCrc8.t[c ^ p[i]];
  return c;
}

std::vector<uint8_t> cobsEncode(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out;
  out.reserve(n + n / 254 + 2);
  size_t codePos = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == 0) {
      out[codePos] = code;
      codePos = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(p[i]);
    if (++code == 0xFF) {
      out[codePos] = code;
      codePos = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codePos] = code;
  return out;
}

bool cobsDecode(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  out.clear();
  size_t i = 0;
  while (i < n) {
    uint8_t code = p[i++];
    if (code == 0) return false;
    if (i + code - 1 > n) return false;
    for (int k = 1; k < code; ++k) out.push_back(p[i++]);
    if (code != 0xFF && i < n) out.push_back(0);
  }
  return true;
}

void appendCobsFrame(const Packet& p, std::string& out) {
  uint8_t img[kMaxData + 3];
  size_t n = p.wire(img);
  img[n] = crc8(img, n);
  std::vector<uint8_t> enc = cobsEncode(img, n + 1);
  out.append(reinterpret_cast<const char*>(enc.data()), enc.size());
  out.push_back('\0');
}

bool CobsParser::feed(uint8_t b, Packet& out) {
  if (b != 0) {
    // Anything longer than the largest frame is noise; keep a bounded buffer.
    if (buf_.size() < 64) buf_.push_back(b);
    return false;
  }
  if (buf_.empty()) return false;
  std::vector<uint8_t> dec;
  bool ok = buf_.size() < 64 && cobsDecode(buf_.data(), buf_.size(), dec);
  buf_.clear();
  if (ok) {
    size_t n = dec.size();
    ok = n > 2 && dec[1] <= kMaxData && n == size_t(dec[1]) + 3 && dec[0] != 0 &&
         crc8(dec.data(), n - 1) == dec[n - 1];
  }
  if (!ok) {
    ++errors_;
    return false;
  }
  out = Packet::make(dec[0], dec.data() + 2, dec[1]);
  return true;
}

std::string hex(const uint8_t* p, size_t n, bool upper) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

bool unhex(const std::string& s, std::vector<uint8_t>& out) {
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int h = val(s[i]), l = val(s[i + 1]);
    if (h < 0 || l < 0) return false;
    out.push_back(uint8_t(h * 16 + l));
  }
  return true;
}

namespace {
const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void block(uint32_t h[8], const uint8_t* b) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 | uint32_t(b[4 * i + 2]) << 8 |
           b[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], bb = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & bb) ^ (a & c) ^ (bb & c));
    hh = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = bb;
    bb = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += bb;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += hh;
}
}  // namespace

std::string sha256Hex(const uint8_t* p, size_t n) {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  size_t i = 0;
  for (; i + 64 <= n; i += 64) block(h, p + i);
  uint8_t tail[128] = {};
  size_t rest = n - i;
  if (rest) std::memcpy(tail, p + i, rest);
  tail[rest] = 0x80;
  size_t tl = rest + 9 <= 64 ? 64 : 128;
  uint64_t bits = uint64_t(n) * 8;
  for (int k = 0; k < 8; ++k) tail[tl - 1 - k] = uint8_t(bits >> (8 * k));
  block(h, tail);
  if (tl == 128) block(h, tail + 64);
  uint8_t out[32];
  for (int k = 0; k < 8; ++k) {
    out[4 * k] = uint8_t(h[k] >> 24);
    out[4 * k + 1] = uint8_t(h[k] >> 16);
    out[4 * k + 2] = uint8_t(h[k] >> 8);
    out[4 * k + 3] = uint8_t(h[k]);
  }
  return hex(out, 32);
}

}  // namespace qwsim
