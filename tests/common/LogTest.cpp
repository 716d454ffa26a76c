#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Log.h"
#include "LogCapture.h"
#include "UpdaterDisplayInterface.h"

namespace {

using testlog::LogCapture;

TEST(Log, PackageZeroAlwaysWrittenOthersOnlyWhenActive) {
  LogCapture cap;
  Log::log(0, "always %d\n", 1);
  Log::log(DEBUG_BirdFile, "hidden\n");
  Log::ActivatePackage(DEBUG_BirdFile | DEBUG_APP);
  Log::log(DEBUG_BirdFile, "shown\n");
  Log::DeactivatePackage(DEBUG_BirdFile);
  Log::log(DEBUG_BirdFile, "hidden again\n");
  Log::log(DEBUG_APP, "app\n");
  EXPECT_EQ(cap.text(), "always 1\nshown\napp\n");
}

TEST(Log, NothingWrittenWithoutOutput) {
  LogCapture cap;
  Log::SetOutput(nullptr);
  Log::log(0, "lost\n");
  Log::SetOutput(cap.f);
  EXPECT_EQ(cap.text(), "");
}

TEST(Log, LongMessageCutTo2047Characters) {
  LogCapture cap;
  Log::log(0, "%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(cap.text(), std::string(2047, 'x'));
}

struct RecordingDisplay : UpdaterDisplayInterface {
  std::string info, error;
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* t) override { info += std::string(t) + "|"; }
  void error_message(const char* t) override { error += std::string(t) + "|"; }
};

TEST(Display, MessageRoutesByLevelCutsAndMutes) {
  RecordingDisplay d;
  d.message(UpdaterDisplayInterface::LEVEL_INFO, "a %d", 1);
  d.message(UpdaterDisplayInterface::LEVEL_ERROR, "b %s", "x");
  d.message(static_cast<UpdaterDisplayInterface::Level>(7), "c");
  d.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", std::string(3000, 'y').c_str());
  EXPECT_EQ(d.error, "b x|");
  EXPECT_EQ(d.info, "a 1|c|" + std::string(2047, 'y') + "|");
  d.mute_messages(true);
  d.message(UpdaterDisplayInterface::LEVEL_ERROR, "muted");
  d.message(UpdaterDisplayInterface::LEVEL_INFO, "muted");
  EXPECT_EQ(d.error, "b x|");
}

}  // namespace
