#pragma once
// A display that records what it is given, for tests of code that prints through one.

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace qwtest {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::vector<std::string> progress;  // one entry per progress or spinner call

  void display_progress(bool show) override { progress.push_back(show ? "show" : "hide"); }
  void update_progress(double fraction, const char* label) override {
    progress.push_back("progress " + std::to_string(fraction) + (label ? std::string(" ") + label : ""));
  }
  void update_spinner(bool on, const char* label) override {
    progress.push_back(std::string(on ? "spin" : "stop") + (label ? std::string(" ") + label : ""));
  }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
};

}  // namespace qwtest
