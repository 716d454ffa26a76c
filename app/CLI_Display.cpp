#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The spinner's frame, shared by every display.
uint8_t s_spinnerFrame = 0;

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

constexpr int kBarWidth = 69;
const char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth, "the bar string is as wide as the bar");

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// One write per line, so a message never interleaves with output of another thread.
void WriteLine(FILE* stream, const char* text) {
  std::string line(text ? text : "");
  line += '\n';
  fwrite(line.data(), 1, line.size(), stream);
}

void ClearLine() { printf("\r%*s\r", 88, " "); }

}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::info_message(const char* text) { WriteLine(stdout, text); }

void CLI_Display::error_message(const char* text) { WriteLine(stderr, text); }

void CLI_Display::display_progress(bool show) {
  if (!StdoutIsTerminal() || show) return;
  ClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!StdoutIsTerminal()) return;
  // A fraction outside 0..1 (or not a number) would make the filled part negative, which
  // printf would take as "print the whole bar", or wider than the bar.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label) width -= static_cast<int>(strlen(label)) + 4;
  if (width < 1) width = 1;
  const int percent = static_cast<int>(fraction * 100);
  const int filled = static_cast<int>(width * fraction);
  char line[512];
  if (label)
    snprintf(line, sizeof line, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "",
             percent);
  else
    snprintf(line, sizeof line, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  fputs(line, stdout);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  if (!StdoutIsTerminal()) return;
  if (!on) {
    ClearLine();
    return;
  }
  const char* frame = kSpinnerFrames[s_spinnerFrame];
  if (label)
    printf("\r (%s) %s      \r", label, frame);
  else
    printf("\r %s      \r", frame);
  s_spinnerFrame = static_cast<uint8_t>((s_spinnerFrame + 1) % 8);
}
