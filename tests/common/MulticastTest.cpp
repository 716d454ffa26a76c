// Runs under tests/netns-run: every socket here lives in a private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "aDebug.h"
#include "aMulticast.h"
#include "aTime.h"

namespace {

uint32_t Addr(const char* text) { return inet_addr(text); }

bool EnvIs(const char* name, const char* value) {
  const char* v = getenv(name);
  return v != nullptr && strcmp(v, value) == 0;
}

#define REQUIRE_NAMESPACE()                                                          \
  if (!EnvIs("QW_NETNS", "1")) GTEST_SKIP() << "no private network namespace (run " \
                                               "through tests/netns-run as root)"

TEST(aMulticastTest, NullHandles) {
  char buf[4];
  aMulticast* none = nullptr;
  EXPECT_EQ(aMulticast_Send(nullptr, "x", 1), -2);
  EXPECT_EQ(aMulticast_Receive(nullptr, buf, sizeof buf), -2);
  EXPECT_EQ(aMulticast_Destroy(&none), -2);
  EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
}

TEST(aMulticastTest, SendAndReceiveInsideTheNamespace) {
  REQUIRE_NAMESPACE();
  struct Row {
    const char* name;
    const char* senderIface;
    const char* receiverIface;
    const char* group;
    uint16_t port;
    bool needsVeth;
  } rows[] = {
      {"loopback", "127.0.0.1", "127.0.0.1", "224.0.0.7", 9850, false},
      {"loopback by default", "0.0.0.0", "0.0.0.0", "224.0.0.7", 9951, false},
      {"veth pair", "10.77.0.1", "10.77.0.2", "232.2.2.2", 9888, true},
  };
  for (const Row& r : rows) {
    if (r.needsVeth && !EnvIs("QW_NETNS_VETH", "1")) {
      ADD_FAILURE() << r.name << ": the namespace has no veth pair";
      continue;
    }
    aMulticast* rx = aMulticast_Create(Addr(r.receiverIface), Addr(r.group), r.port, false);
    aMulticast* tx = aMulticast_Create(Addr(r.senderIface), Addr(r.group), r.port, true);
    ASSERT_NE(rx, nullptr) << r.name;
    ASSERT_NE(tx, nullptr) << r.name;

    const std::string message = std::string("hello over ") + r.name;
    std::string got;
    // Each receive waits at most one second; a few sends cover a datagram lost while an
    // interface settles.
    for (int attempt = 0; attempt < 3 && got.empty(); ++attempt) {
      EXPECT_EQ(aMulticast_Send(tx, message.data(), message.size()),
                static_cast<int>(message.size()))
          << r.name;
      char buf[256];
      int n = aMulticast_Receive(rx, buf, sizeof buf);
      if (n > 0) got.assign(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, message) << r.name;

    // Each socket has one role.
    char buf[8];
    EXPECT_EQ(aMulticast_Send(rx, "x", 1), -3) << r.name;
    EXPECT_EQ(aMulticast_Receive(tx, buf, sizeof buf), -3) << r.name;

    EXPECT_EQ(aMulticast_Destroy(&tx), 0) << r.name;
    EXPECT_EQ(aMulticast_Destroy(&rx), 0) << r.name;
    EXPECT_EQ(tx, nullptr);
    EXPECT_EQ(rx, nullptr);
  }
}

TEST(aMulticastTest, ReceiveGivesUpAfterAboutOneSecond) {
  REQUIRE_NAMESPACE();
  aMulticast* rx = aMulticast_Create(0, Addr("224.0.0.7"), 9852, false);
  ASSERT_NE(rx, nullptr);
  char buf[16];
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aMulticast_Receive(rx, buf, sizeof buf), -1);
  uint64_t elapsed = aTime_GetMonotonicMS() - start;
  EXPECT_GE(elapsed, 900u);
  EXPECT_LT(elapsed, 5000u);
  aMulticast_Destroy(&rx);
}

TEST(aMulticastTest, FailedCreationCleansUpAndTracesOnlyWhenAsked) {
  REQUIRE_NAMESPACE();
  // 10.0.0.1 is no multicast group, so joining it fails after the socket exists.
  testing::internal::CaptureStdout();
  EXPECT_EQ(aMulticast_Create(0, Addr("10.0.0.1"), 9853, true), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  aQuarkwireDebuggingEnable = 1;
  aQuarkwireDebuggingLevel = aDEBUG_MULTICAST;
  testing::internal::CaptureStdout();
  EXPECT_EQ(aMulticast_Create(0, Addr("10.0.0.1"), 9853, true), nullptr);
  std::string trace = testing::internal::GetCapturedStdout();
  aQuarkwireDebuggingEnable = 0;
  aQuarkwireDebuggingLevel = 0;
  EXPECT_NE(trace.find("JoinMulticastGroup: setsockopt failed"), std::string::npos) << trace;
  EXPECT_NE(trace.find("in cleanup function"), std::string::npos) << trace;

  // A receiver port can be bound only once: the second receiver fails and is cleaned up.
  aMulticast* first = aMulticast_Create(0, Addr("224.0.0.7"), 9854, false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(aMulticast_Create(0, Addr("224.0.0.7"), 9854, false), nullptr);
  aMulticast_Destroy(&first);
}

}  // namespace
