#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

namespace {

struct PackRow {
  const char* name;
  uint8_t major, minor, patch;
  uint32_t word;
  bool legacy;
  const char* text;  // how the word reads back
};

TEST(aVersionTest, PackAndReadBackInBothLayouts) {
  const PackRow rows[] = {
      {"last legacy minor", 2, 14, 7, 0x2E000007u, true, "2.14.7"},
      {"first current", 2, 15, 0, 0x2F020F00u, false, "2.15.0"},
      {"major above 2", 3, 1, 4, 0x2F030104u, false, "3.1.4"},
      {"zero", 0, 0, 0, 0x00000000u, true, "0.0.0"},
      {"full bytes", 255, 255, 255, 0x2FFFFFFFu, false, "255.255.255"},
      // Legacy packing keeps only the low nibble of the minor.
      {"legacy minor wraps", 1, 17, 5, 0x11000005u, true, "1.1.5"},
  };
  for (const PackRow& r : rows) {
    uint32_t w = aVersion_Pack(r.major, r.minor, r.patch);
    EXPECT_EQ(w, r.word) << r.name;
    EXPECT_EQ(aVersion_IsLegacyFormat(w), r.legacy) << r.name;
    char text[32] = "junk";
    EXPECT_EQ(aVersion_ParseString(w, text, sizeof text), static_cast<int>(strlen(r.text)))
        << r.name;
    EXPECT_STREQ(text, r.text) << r.name;
  }
}

TEST(aVersionTest, ParsesWordsByLayout) {
  struct Row {
    uint32_t word;
    uint32_t major, minor, patch;
  } rows[] = {
      {0x1A001234u, 1, 10, 0x1234},         // legacy patch is 24 bits wide when read
      {0x2EFFFFFFu, 2, 14, 0xFFFFFF},       // top byte 0x2E is still legacy
      {0x2F020C03u, 2, 12, 3},              // current
      {0x3F070809u, 7, 8, 9},               // top nibble 3 or more reads as current
  };
  for (const Row& r : rows) {
    EXPECT_EQ(aVersion_ParseMajor(r.word), r.major) << std::hex << r.word;
    EXPECT_EQ(aVersion_ParseMinor(r.word), r.minor) << std::hex << r.word;
    EXPECT_EQ(aVersion_ParsePatch(r.word), r.patch) << std::hex << r.word;
  }
  char small[4] = "xyz";
  EXPECT_EQ(aVersion_ParseString(0x2F020C03u, small, sizeof small), 6);
  EXPECT_STREQ(small, "2.1");
}

TEST(aVersionTest, LibraryVersionAndComparison) {
  EXPECT_STREQ(aVersion_GetString(), "2.12.3");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 3);

  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 3));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 4));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 255, 255, 3, 0, 0));
}

TEST(aVersionTest, Features) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(aErrorTextTest, NamesAndDescriptions) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
  EXPECT_STREQ(aError_GetErrorText(aErrOverrun), "aErrOverrun");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Quarkwire command to short");
  EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
  for (aErr code : {35u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
  }
  // A shifted table would repeat or skip a text somewhere.
  std::set<std::string> names, descriptions;
  for (aErr code = 0; code <= aErrUnknown; ++code) {
    names.insert(aError_GetErrorText(code));
    descriptions.insert(aError_GetErrorDescription(code));
  }
  EXPECT_EQ(names.size(), 35u);
  EXPECT_EQ(descriptions.size(), 35u);
}

TEST(aModelNameTest, NamedAndUnknownNumbers) {
  std::set<std::string> names;
  for (uint32_t model = 0; model < 40; ++model) {
    std::string name = aDefs_GetModelName(model);
    bool named = model == 4 || model == 5 || (model >= 13 && model <= 27);
    if (named) {
      EXPECT_NE(name, "Unknown") << model;
      EXPECT_FALSE(name.empty()) << model;
      names.insert(name);
    } else {
      EXPECT_EQ(name, "Unknown") << model;
    }
  }
  EXPECT_EQ(names.size(), 17u);
  EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
}

}  // namespace
