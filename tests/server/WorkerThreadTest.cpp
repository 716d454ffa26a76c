#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"
#include "UpdateServerRequest.h"

namespace {

// The download runs on a worker thread while the caller waits: the request, the log and
// the time-out settings must be safe to use that way.
TEST(UpdateServerWorker, DownloadOnWorkerThreadWhileCallerWaits) {
  UpdateServerProcess srv;
  writeSampleData(srv);
  srv.start();
  ServerLogCapture log;
  ASSERT_TRUE(UpdateServerRequest::ping(srv.url().c_str()));  // first use on this thread
  std::string text;
  auto done = std::async(std::launch::async, [&] {
    return UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", text, srv.url().c_str(), false) &&
           UpdateServerRequest::GetBuild(0xABCD, "FW-A", "120", text, srv.url().c_str(), false);
  });
  HTTPRequest::SetTimeoutsForTesting(0, 0);  // touched while the worker reads it
  ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(done.get());
  EXPECT_EQ(text.size(), (sampleBird().size() + 2) / 3 * 4);
  EXPECT_NE(log.text().find("GET("), std::string::npos);
}

}  // namespace
