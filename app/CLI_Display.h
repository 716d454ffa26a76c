#pragma once
// The terminal display: messages on standard output and standard error, and a progress bar
// and spinner redrawn in place when standard output is a terminal.

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so progress and messages appear at
  // once and in order.
  CLI_Display();

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};
