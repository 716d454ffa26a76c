#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Log.h"
#include "UpdateServerRequest.h"

namespace {

using Strings = std::vector<std::string>;

TEST(SplitQuarkwireVersion, ThreePartsOrNothing) {
  const struct { std::string in; Strings out; } rows[] = {
      {"2.12.3", {"2", "12", "3"}}, {"2.12.", {"2", "12", ""}}, {"..", {"", "", ""}},
      {"a.b.c", {"a", "b", "c"}},   {"2.12", {}},               {"1.2.3.4", {}},
      {"", {}},                     {"2", {}},                  {"1.2.3.", {}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(UpdateServerRequest::SplitQuarkwireVersion(row.in), row.out) << row.in;
}

Strings keys(const std::vector<std::pair<std::string, std::string>>& v) {
  Strings k;
  for (const auto& p : v) k.push_back(p.first);
  return k;
}

TEST(SortBuildsByVersion, NewestFirstOnEightBitComponents) {
  auto sorted = UpdateServerRequest::SortBuildsByVersion(
      {{"120", "2.9.0"}, {"121", "2.12.3"}, {"122", "2.10.1"}, {"123", "3.0.0"},
       {"124", "2.12.10"}});
  EXPECT_EQ(keys(sorted), (Strings{"123", "124", "121", "122", "120"}));
  EXPECT_EQ(sorted[2].second, "2.12.3");

  // 256 keeps its low 8 bits, so 1.0.256 equals 1.0.0; equal versions stay in key order.
  EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion({{"b", "1.0.256"}, {"a", "1.0.0"}})),
            (Strings{"a", "b"}));
  EXPECT_EQ(keys(UpdateServerRequest::SortBuildsByVersion({{"a", "1.0.0"}, {"b", "1.0.256"}})),
            (Strings{"a", "b"}));
}

TEST(SortBuildsByVersion, UnreadableVersionsFollowInKeyOrderAndAreLogged) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  Log::SetOutput(f);
  Log::ActivatePackage(DEBUG_ServerComm);
  auto sorted = UpdateServerRequest::SortBuildsByVersion({{"10", "x.1.2"},
                                                          {"11", "1.2"},
                                                          {"12", "1.0.0"},
                                                          {"13", ""},
                                                          {"14", "2.0.0"},
                                                          {"15", "1.2.99999999999"},
                                                          {"16", "1.5.0"}});
  Log::SetOutput(nullptr);
  Log::DeactivatePackage(DEBUG_ServerComm);
  fclose(f);
  std::string log(text, size);
  free(text);
  EXPECT_EQ(keys(sorted), (Strings{"14", "16", "12", "10", "11", "13", "15"}));
  EXPECT_NE(log.find("_sortVersion: Exception converting version: stoi\n"), std::string::npos)
      << log;
}

// A comparison that is not a strict weak ordering lets std::sort run off its range; mixed
// lists of many entries are where that shows. Checks the order against a reference.
TEST(SortBuildsByVersion, LargeMixedListIsTotallyOrdered) {
  std::mt19937 rng(3);
  std::map<std::string, std::string> builds;
  const Strings junk = {"", "1.2", "a.b.c", "1..", "1.2.3.4", "-", "9.9"};
  for (int i = 0; i < 600; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "%05d", static_cast<int>(rng() % 100000));
    builds[key] = rng() % 3 == 0 ? junk[rng() % junk.size()]
                                 : std::to_string(rng() % 4) + "." + std::to_string(rng() % 4) +
                                       "." + std::to_string(rng() % 4);
  }
  auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), builds.size());
  auto rank = [](const std::string& v) {
    int a, b, c;
    char tail;
    if (std::sscanf(v.c_str(), "%d.%d.%d%c", &a, &b, &c, &tail) != 3) return -1;
    return a * 10000 + b * 100 + c;
  };
  for (size_t i = 1; i < sorted.size(); ++i) {
    int l = rank(sorted[i - 1].second), r = rank(sorted[i].second);
    if (r >= 0) {
      ASSERT_GE(l, r) << i;
      if (l == r) {
        ASSERT_LT(sorted[i - 1].first, sorted[i].first) << i;
      }
    } else if (l < 0) {
      ASSERT_LT(sorted[i - 1].first, sorted[i].first) << i;
    }
  }
}

}  // namespace
