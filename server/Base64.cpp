#include "Base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of an alphabet character, or kBad.
constexpr uint32_t kBad = 0xFF000000u;

// One table per position in a group of four, each holding the character's six bits already
// shifted into place, so a group decodes with four loads and three ORs. Every character
// outside the alphabet maps to kBad, whose top byte survives the ORs and is checked once at
// the end instead of branching on every character.
struct DecodeTables {
  std::array<uint32_t, 256> t[4];
  constexpr DecodeTables() : t{} {
    for (auto& table : t)
      for (auto& v : table) v = kBad;
    for (uint32_t i = 0; i < 64; ++i) {
      auto c = static_cast<unsigned char>(kAlphabet[i]);
      t[0][c] = i << 18;
      t[1][c] = i << 12;
      t[2][c] = i << 6;
      t[3][c] = i;
    }
  }
};
constexpr DecodeTables kTables;

}  // namespace

char* base64_encode(const char* data, unsigned long length, unsigned long* outLength) {
  unsigned long n = 4 * ((length + 2) / 3);
  char* out = static_cast<char*>(std::malloc(n + 1));
  if (!out) return nullptr;
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  char* p = out;
  unsigned long i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *p++ = kAlphabet[(v >> 18) & 63];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kAlphabet[(v >> 6) & 63];
    *p++ = kAlphabet[v & 63];
  }
  if (i < length) {
    bool two = i + 1 < length;
    uint32_t v = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0u);
    *p++ = kAlphabet[(v >> 18) & 63];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = two ? kAlphabet[(v >> 6) & 63] : '=';
    *p++ = '=';
  }
  *p = '\0';
  if (outLength) *outLength = n;
  return out;
}

char* base64_decode(const char* text, unsigned long length, unsigned long* outLength) {
  if (length % 4 != 0 || (length > 0 && !text)) return nullptr;
  const auto* in = reinterpret_cast<const unsigned char*>(text);

  unsigned long pad = 0;
  if (length > 0 && in[length - 1] == '=') pad = in[length - 2] == '=' ? 2 : 1;
  unsigned long n = length / 4 * 3 - pad;

  char* out = static_cast<char*>(std::malloc(n + 1));
  if (!out) return nullptr;
  auto* o = reinterpret_cast<unsigned char*>(out);
  const auto& t = kTables.t;

  // Every group but the last is four alphabet characters giving three bytes.
  uint32_t bad = 0;
  unsigned long full = length / 4 - (length > 0 ? 1 : 0);
  // Each group is stored as four bytes (three decoded and one the next group overwrites);
  // the last group always follows and there is a byte for the NUL, so this stays inside.
  for (unsigned long g = 0; g < full; ++g, in += 4, o += 3) {
    uint32_t v = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
    bad |= v;
    uint32_t be = __builtin_bswap32(v << 8);
    std::memcpy(o, &be, 4);
  }
  if (length > 0) {
    // The last group may end in one or two "=", which count as zero bits; the bits they
    // replace must be zero in a canonical text, but like most decoders this one ignores them.
    uint32_t v = t[0][in[0]] | t[1][in[1]] | (pad < 2 ? t[2][in[2]] : 0u) |
                 (pad < 1 ? t[3][in[3]] : 0u);
    bad |= v;
    o[0] = static_cast<unsigned char>(v >> 16);
    if (pad < 2) o[1] = static_cast<unsigned char>(v >> 8);
    if (pad < 1) o[2] = static_cast<unsigned char>(v);
    o += 3 - pad;
  }
  if (bad & kBad) {
    std::free(out);
    return nullptr;
  }
  *o = '\0';
  if (outLength) *outLength = n;
  return out;
}
