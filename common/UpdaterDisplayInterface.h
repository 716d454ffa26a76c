#pragma once
// The user's console: messages, progress bars and spinners. Every flow prints through it;
// the terminal implementation is CLI_Display in the application layer.

class UpdaterDisplayInterface {
 public:
  // A fixed underlying type: any int is a valid level, and every level but LEVEL_ERROR is info.
  enum Level : int { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  // Formats into 2048 bytes (longer text is cut to 2047 characters) and hands the text to
  // error_message for LEVEL_ERROR, to info_message otherwise. Formats carry no newline.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }

  virtual void display_progress(bool show) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

 protected:
  ~UpdaterDisplayInterface() = default;
  bool muted = false;
};
