#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"

namespace {

using Params = std::map<std::string, std::string>;

std::string errorOf(const std::string& url, Params params = {}) {
  try {
    HTTPRequest::GET(url.c_str(), params);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

TEST(HttpGet, RequestTextIsSortedUnescapedWithTrailingAmpersand) {
  UpdateServerProcess srv;
  srv.start();
  const struct { Params params; std::string query; } rows[] = {
      {{{"b", "2"}, {"a", "1"}}, "?a=1&b=2&"},
      {{}, ""},
      {{{"fp", "00000001%2000000002"}, {"op", "fix"}}, "?fp=00000001%2000000002&op=fix&"},
      {{{"op", "hi"}, {"e", ""}}, "?e=&op=hi&"},
  };
  for (const auto& row : rows) {
    Params p = row.params;
    HTTPResponse r = HTTPRequest::GET(srv.url().c_str(), p);
    EXPECT_EQ(r.get_request(), srv.url() + row.query);
    ASSERT_FALSE(srv.requests().empty());
    EXPECT_EQ(srv.requests().back(), "GET /cgi/u" + row.query + " HTTP/1.1");
  }
  EXPECT_EQ(srv.requests().size(), std::size(rows));
}

TEST(HttpGet, ErrorStatusesAndEmptyBodiesAreOrdinaryResponses) {
  UpdateServerProcess srv;
  srv.start({"--fault", "qu:empty", "--fault", "fix:500"});
  const struct { std::string url, query; long status; std::string body; } rows[] = {
      {srv.url() + "/nope", "", 404, "not found\n"},
      {srv.url(), "qu", 200, ""},
      {srv.url(), "fix", 500, "internal server error\n"},
  };
  for (const auto& row : rows) {
    Params p;
    if (!row.query.empty()) p["op"] = row.query;
    HTTPResponse r = HTTPRequest::GET(row.url.c_str(), p);
    EXPECT_EQ(r.get_status(), row.status) << row.url << " " << row.query;
    EXPECT_EQ(std::string(r.get_response()), row.body) << row.url << " " << row.query;
  }
}

TEST(HttpGet, TransportFailuresThrowLibcurlText) {
  UpdateServerProcess srv;
  srv.write("0000ABCD/builds", "120;2.12.3\n121;2.12.4\n");
  srv.start({"--fault", "builds:cut"});
  LoopbackSocket refused(false);
  const struct { std::string url; Params params; std::string text; } rows[] = {
      {"http://127.0.0.1:" + std::to_string(refused.port) + "/cgi/u", {}, "Couldn't connect to server"},
      {srv.url(), {{"op", "builds"}, {"sn", "0000ABCD"}}, "Transferred a partial file"},
      {"nothing://127.0.0.1/", {}, "Unsupported protocol"},
  };
  for (const auto& row : rows) EXPECT_EQ(errorOf(row.url, row.params), row.text) << row.url;
}

// A transfer that keeps moving is never cut however long it takes in total, and its chunks
// are appended in order; one that stops moving (or never gets through the TLS handshake)
// is abandoned after the bound with libcurl's time-out text.
TEST(HttpGet, StallBoundCutsSilenceButNotSlowProgress) {
  HTTPRequest::SetTimeoutsForTesting(2, 2);
  UpdateServerProcess srv;
  std::string list;
  for (int i = 0; i < 6; ++i) list += std::to_string(200 + i) + ";2.12." + std::to_string(i) + "\n";
  srv.write("0000ABCD/builds", list);
  srv.start({"--fault", "builds:drip", "--fault", "hi:stall"});

  ServerLogCapture log;
  Params p{{"op", "builds"}, {"sn", "0000ABCD"}};
  auto t0 = std::chrono::steady_clock::now();
  HTTPResponse r = HTTPRequest::GET(srv.url().c_str(), p);
  double slow = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(std::string(r.get_response()), "ok\n" + list);
  EXPECT_GT(slow, 3.0) << "the drip should outlast the stall bound";
  EXPECT_NE(log.text().find("rcv_data returns 4\n"), std::string::npos);

  LoopbackSocket silent(true);
  const std::string stalled[] = {
      srv.url() + "?op=hi&",                                            // answer never comes
      "https://127.0.0.1:" + std::to_string(silent.port) + "/cgi/u",  // handshake never ends
  };
  for (const auto& url : stalled) {
    Params none;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf(url, none), "Timeout was reached") << url;
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(waited, 10.0) << url;
  }
  HTTPRequest::SetTimeoutsForTesting(0, 0);
}

// The peer's certificate must chain to a trusted CA and name the host; either failure ends
// the request before it is sent.
TEST(HttpGet, HttpsVerifiesPeerAndHost) {
  const struct { const char* name; std::string san; bool trustFixtureCA; bool ok; } rows[] = {
      {"trusted", "IP:127.0.0.1", true, true},
      {"untrusted CA", "IP:127.0.0.1", false, false},
      {"wrong host name", "DNS:elsewhere.example", true, false},
  };
  for (const auto& row : rows) {
    UpdateServerProcess srv;
    srv.start({"--tls", "--cert-san", row.san});
    ASSERT_EQ(srv.url().rfind("https://", 0), 0u);
    ScopedEnv trust("SSL_CERT_FILE", row.trustFixtureCA ? srv.caFile() : srv.dir() + "/none.pem");
    Params p{{"op", "hi"}, {"rv", "2"}};
    if (row.ok) {
      HTTPResponse r = HTTPRequest::GET(srv.url().c_str(), p);
      EXPECT_EQ(r.get_status(), 200) << row.name;
      EXPECT_EQ(std::string(r.get_response()), "ok\n") << row.name;
      EXPECT_EQ(srv.requests().size(), 1u) << row.name;
    } else {
      EXPECT_EQ(errorOf(srv.url(), p), "SSL peer certificate or SSH remote key was not OK")
          << row.name;
      EXPECT_TRUE(srv.requests().empty()) << row.name;
    }
  }
}

}  // namespace
