#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "Base64.h"

namespace {

struct Freed {
  void operator()(char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, Freed>;

std::string encode(const std::string& in) {
  unsigned long n = 12345;
  Buffer out(base64_encode(in.data(), in.size(), &n));
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(n, std::string(out.get()).size());
  return std::string(out.get(), n);
}

TEST(Base64, EncodesWithPadding) {
  const struct { std::string in, out; } rows[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"\xff", "/w=="},
      {std::string("\0\0\0\0", 4), "AAAAAA=="}, {"\xfb\xff\xbf", "+/+/"},
  };
  for (const auto& row : rows) EXPECT_EQ(encode(row.in), row.out) << row.out;
}

TEST(Base64, DecodesValidTextWithTerminatingNul) {
  const struct { std::string in, out; } rows[] = {
      {"", ""}, {"YWI=", "ab"}, {"YWJj", "abc"}, {"YQ==", "a"}, {"/w==", "\xff"},
      {"+/+/", "\xfb\xff\xbf"}, {"YWJjZGVm", "abcdef"}, {"AAAAAA==", std::string(4, '\0')},
  };
  for (const auto& row : rows) {
    unsigned long n = 12345;
    Buffer out(base64_decode(row.in.data(), row.in.size(), &n));
    ASSERT_NE(out, nullptr) << row.in;
    EXPECT_EQ(n, row.out.size()) << row.in;
    EXPECT_EQ(std::string(out.get(), n), row.out) << row.in;
    EXPECT_EQ(out.get()[n], '\0') << row.in;
  }
}

TEST(Base64, RejectsBadLengthAndEveryCharacterOutsideTheAlphabet) {
  const std::string rows[] = {
      "YWJjZ",           // not a multiple of four
      "YWI",             // not a multiple of four
      "YWJj\n",          // line break
      "YWJjYW\r\n",      // CR LF at the end
      "YW Jj",           // white space
      "YW=j",            // padding inside a group
      "Y===",            // three padding characters
      "====",            // padding only
      "YWI=YWJj",        // padding before the end
      "YWJ-", "YWJ_",    // URL-safe alphabet
      std::string("YW\0j", 4),
      "YWJ\xc3",         // high byte
  };
  for (const auto& in : rows) {
    unsigned long n = 777;
    EXPECT_EQ(base64_decode(in.data(), in.size(), &n), nullptr) << in;
  }
  // Every byte value outside the alphabet, in every position of the last and an inner group.
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    if (alphabet.find(static_cast<char>(c)) != std::string::npos) continue;
    for (size_t pos = 0; pos < 8; ++pos) {
      std::string in = "QUJDREVG";
      in[pos] = static_cast<char>(c);
      if (c == '=' && pos >= 6) continue;  // valid padding positions
      unsigned long n = 0;
      EXPECT_EQ(base64_decode(in.data(), in.size(), &n), nullptr) << c << " at " << pos;
    }
  }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 300; ++len) {
    std::string data(len, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng());
    std::string text = encode(data);
    unsigned long n = 0;
    Buffer back(base64_decode(text.data(), text.size(), &n));
    ASSERT_NE(back, nullptr) << len;
    ASSERT_EQ(std::string(back.get(), n), data) << len;
  }
}

}  // namespace
