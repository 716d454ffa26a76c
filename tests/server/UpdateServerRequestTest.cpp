#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Base64.h"
#include "ServerTestSupport.h"
#include "UpdateServerRequest.h"

namespace {

using Builds = std::map<std::string, std::string>;

TEST(UpdateServerRequest, EveryQueryAgainstTheFixture) {
  UpdateServerProcess srv;
  writeSampleData(srv);
  srv.start();
  const char* url = srv.url().c_str();
  ServerLogCapture log;

  EXPECT_TRUE(UpdateServerRequest::ping(url));

  std::string build, firmware;
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0xABCD, build, firmware, url));
  EXPECT_EQ(build, "120");
  EXPECT_EQ(firmware, "FW-A");

  std::string text = "junk";
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", text, url, false));
  unsigned long n = 0;
  std::unique_ptr<char, decltype(&free)> bird(base64_decode(text.data(), text.size(), &n), free);
  ASSERT_NE(bird, nullptr);
  EXPECT_EQ(std::string(bird.get(), n), sampleBird());

  Builds builds{{"stale", "1.1.1"}};
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0xABCD, builds, url));
  EXPECT_EQ(builds, (Builds{{"120", "2.12.3"}, {"121", "2.12.4"}, {"122", ""}}));

  unsigned int fp[4] = {1, 2, 0xDEADBEEF, 4};
  unsigned int serial = 0, number = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &number, url));
  EXPECT_EQ(serial, 0xABCDu);
  EXPECT_EQ(number, 120u);

  std::string jwt = "unchanged";
  EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(0xABCD, jwt, url));
  EXPECT_EQ(jwt, "eyJhbGciOi.eyJzbiI6.c2lnbmF0dXJl");
  jwt = "unchanged";
  EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(0x1234, jwt, url));  // two parts only
  EXPECT_EQ(jwt, "unchanged");

  const std::vector<std::string> expected = {
      "GET /cgi/u?op=hi&rv=2& HTTP/1.1",
      "GET /cgi/u?op=qu&sn=0000ABCD& HTTP/1.1",
      "GET /cgi/u?bld=120&fw=FW-A&no_cal=false&op=bird&sn=0000ABCD& HTTP/1.1",
      "GET /cgi/u?op=builds&sn=0000ABCD& HTTP/1.1",
      "GET /cgi/u?brief=true&fp=00000001%2000000002%20DEADBEEF%2000000004&op=fix& HTTP/1.1",
      "GET /cgi/u?json=false&op=ent_jwt&sn=0000ABCD& HTTP/1.1",
      "GET /cgi/u?json=false&op=ent_jwt&sn=00001234& HTTP/1.1",
  };
  EXPECT_EQ(srv.requests(), expected);

  for (const std::string& line : {
           "GET(" + srv.url() + "?op=hi&rv=2&)\n",
           std::string("rcv_data returns 3\n"),
           std::string("GetBuildList processing entry: [121;2.12.4\r]\n"),
           std::string("GetBuildList [121][2.12.4]\n"),
           std::string("GetBuildList [122][]\n"),
           std::string("GetRecoveryInfo [ok][0000ABCD][0x78]\n"),
           std::string("GetDeviceJWT processing entry: [eyJhbGciOi.eyJzbiI6.c2lnbmF0dXJl]\n"),
       })
    EXPECT_NE(log.text().find(line), std::string::npos) << line;
  EXPECT_EQ(log.text().find("processing entry: [7]"), std::string::npos);
}

// Outputs start as sentinels; each query runs once under a fault and reports its result
// and what its outputs hold afterwards.
struct Outcome {
  bool ok;
  std::string outputs;
};

std::map<std::string, std::function<Outcome(const char*)>> queries() {
  return {
      {"hi", [](const char* url) { return Outcome{UpdateServerRequest::ping(url), ""}; }},
      {"qu",
       [](const char* url) {
         std::string b = "B", f = "F";
         bool ok = UpdateServerRequest::QueryBuild(0xABCD, b, f, url);
         return Outcome{ok, b + "|" + f};
       }},
      {"bird",
       [](const char* url) {
         std::string t = "T";
         bool ok = UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", t, url, true);
         return Outcome{ok, t};
       }},
      {"builds",
       [](const char* url) {
         Builds b{{"stale", "1.1.1"}};
         bool ok = UpdateServerRequest::GetBuildList(0xABCD, b, url);
         return Outcome{ok, std::to_string(b.size())};
       }},
      {"fix",
       [](const char* url) {
         unsigned int fp[4] = {1, 2, 0xDEADBEEF, 4}, s = 7, b = 9;
         bool ok = UpdateServerRequest::GetRecoveryInfo(fp, &s, &b, url);
         return Outcome{ok, std::to_string(s) + "|" + std::to_string(b)};
       }},
      {"ent_jwt",
       [](const char* url) {
         std::string j = "J";
         bool ok = UpdateServerRequest::GetDeviceJWT(0xABCD, j, url);
         return Outcome{ok, j};
       }},
  };
}

TEST(UpdateServerRequest, FaultyAnswersFailCleanlyWithTheirLogLine) {
  UpdateServerProcess srv;
  writeSampleData(srv);
  srv.start();
  const std::string url = srv.url();
  const std::map<std::string, std::string> names = {
      {"hi", "ping"},         {"qu", "QueryBuild"},      {"bird", "GetBuild"},
      {"builds", "GetBuildList"}, {"fix", "GetRecoveryInfo"}, {"ent_jwt", "GetDeviceJWT"}};
  // What a body of only "ok" leaves: results present, outputs untouched or emptied.
  const std::map<std::string, Outcome> onlyOk = {
      {"hi", {true, ""}},    {"qu", {true, "B|F"}},       {"bird", {true, ""}},
      {"builds", {true, "0"}}, {"fix", {true, "7|9"}},    {"ent_jwt", {false, "J"}}};
  const std::map<std::string, std::string> untouched = {
      {"hi", ""}, {"qu", "B|F"}, {"bird", "T"}, {"builds", "0"}, {"fix", "7|9"}, {"ent_jwt", "J"}};

  for (const auto& [op, run] : queries()) {
    const std::string& name = names.at(op);
    const std::string statusLine = op == "hi" ? "PING ==> [500] [internal server error\n]\n"
                                              : name + " ==> [500] [internal server error\n]\n";
    const std::string notOkLine = "ServerCommClass: " + name + " failed [" + url;
    const struct { std::string mode; Outcome want; std::string logLine; } rows[] = {
        {"500", {false, untouched.at(op)}, statusLine},
        {"404", {false, untouched.at(op)}, op == "hi" ? "PING ==> [404]" : name + " ==> [404]"},
        {"notok", {false, untouched.at(op)}, notOkLine},
        {"empty", {false, untouched.at(op)}, notOkLine},
        {"cut", {false, untouched.at(op)}, name + " ==> [Transferred a partial file]\n"},
        {"missing", onlyOk.at(op), ""},
    };
    for (const auto& row : rows) {
      srv.setFaults("*:" + row.mode + "\n");
      ServerLogCapture log;
      Outcome got = run(url.c_str());
      EXPECT_EQ(got.ok, row.want.ok) << op << " " << row.mode;
      EXPECT_EQ(got.outputs, row.want.outputs) << op << " " << row.mode;
      EXPECT_NE(log.text().find(row.logLine), std::string::npos)
          << op << " " << row.mode << "\n" << log.text();
    }
  }
  srv.setFaults("");
}

TEST(UpdateServerRequest, UnreachableServerFailsWithLibcurlText) {
  LoopbackSocket refused(false);
  const std::string url = "http://127.0.0.1:" + std::to_string(refused.port) + "/cgi/u";
  ServerLogCapture log;
  std::string jwt = "J";
  EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, jwt, url.c_str()));
  EXPECT_EQ(jwt, "J");
  EXPECT_NE(log.text().find("GetDeviceJWT ==> [Couldn't connect to server]\n"), std::string::npos)
      << log.text();
}

TEST(UpdateServerRequest, HttpsDownloadNeedsATrustedCertificate) {
  UpdateServerProcess srv;
  writeSampleData(srv);
  srv.start({"--tls"});
  std::string text = "T";
  {
    ScopedEnv trust("SSL_CERT_FILE", srv.dir() + "/none.pem");
    ServerLogCapture log;
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", text, srv.url().c_str(), false));
    EXPECT_EQ(text, "T");
    EXPECT_TRUE(srv.requests().empty());
    EXPECT_NE(log.text().find("GetBuild ==> [SSL peer certificate or SSH remote key was not OK]\n"),
              std::string::npos);
  }
  ScopedEnv trust("SSL_CERT_FILE", srv.caFile());
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", text, srv.url().c_str(), false));
  unsigned long n = 0;
  std::unique_ptr<char, decltype(&free)> bird(base64_decode(text.data(), text.size(), &n), free);
  ASSERT_NE(bird, nullptr);
  EXPECT_EQ(std::string(bird.get(), n), sampleBird());
}

}  // namespace
