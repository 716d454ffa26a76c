#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "CLI_Display.h"

namespace {

// Drains fd until it closes (or the pty reports EIO once the child is gone), with a deadline.
std::string ReadAll(int fd) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "the display child did not finish its output in time";
      break;
    }
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

void Reap(pid_t pid) {
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// What `draw` writes to standard output when standard output is a raw-mode terminal.
std::string OnTerminal(const std::function<void(CLI_Display&)>& draw) {
  termios raw{};
  cfmakeraw(&raw);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
  if (pid == 0) {
    CLI_Display display;
    draw(display);
    _exit(0);
  }
  if (pid < 0) {
    ADD_FAILURE() << "forkpty failed";
    return "";
  }
  std::string out = ReadAll(master);
  close(master);
  Reap(pid);
  return out;
}

// What `draw` writes to standard output when standard output is a pipe.
std::string OnPipe(const std::function<void(CLI_Display&)>& draw) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    CLI_Display display;
    draw(display);
    _exit(0);
  }
  close(fds[1]);
  std::string out = ReadAll(fds[0]);
  close(fds[0]);
  Reap(pid);
  return out;
}

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

std::string Bar(int filled, int spaces) {
  return std::string(static_cast<size_t>(filled), '=') + ">" + std::string(static_cast<size_t>(spaces), ' ');
}

TEST(CLIDisplay, ProgressBarOnATerminal) {
  struct Row {
    double fraction;
    const char* label;
    std::string line;
  };
  const Row rows[] = {
      {0.0, nullptr, "\r[" + Bar(0, 68) + "] (  0% ) "},
      {1.0, nullptr, "\r[" + Bar(69, 1) + "] (100% ) "},
      {0.5, nullptr, "\r[" + Bar(34, 34) + "] ( 50% ) "},
      {0.5, "Verifying", "\r (Verifying) [" + Bar(28, 27) + "] ( 50% ) "},
      // Fractions outside 0..1 draw as the nearest end.
      {-0.5, nullptr, "\r[" + Bar(0, 68) + "] (  0% ) "},
      {2.0, nullptr, "\r[" + Bar(69, 1) + "] (100% ) "},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(OnTerminal([&](CLI_Display& d) { d.update_progress(r.fraction, r.label); }), r.line)
        << r.fraction << " " << (r.label ? r.label : "");
  }
}

TEST(CLIDisplay, SpinnerAndClearOnATerminal) {
  std::string out = OnTerminal([](CLI_Display& d) {
    for (int i = 0; i < 9; ++i) d.update_spinner(true, nullptr);
    d.update_spinner(true, "Downloading");
    d.update_spinner(false, "Downloading");
    d.update_spinner(true, nullptr);  // the frame counter is not reset by stopping
    d.display_progress(true);
    d.display_progress(false);
    d.info_message("done");
  });
  std::string expected;
  for (const char* f : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
    expected += std::string("\r ") + f + "      \r";
  expected += "\r (Downloading) ..      \r" + kClear + "\r ...      \r" + kClear + "done\n";
  EXPECT_EQ(out, expected);
}

TEST(CLIDisplay, NotATerminalGetsOnlyMessages) {
  std::string out = OnPipe([](CLI_Display& d) {
    d.update_progress(0.0, nullptr);
    d.update_progress(1.0, "Label");
    d.update_spinner(true, "Downloading");
    d.update_spinner(false, nullptr);
    d.display_progress(false);
    d.info_message("shown");
    d.error_message("to stderr");
    d.message(UpdaterDisplayInterface::LEVEL_INFO, "%s %d", "formatted", 7);
  });
  EXPECT_EQ(out, "shown\nformatted 7\n");
}

}  // namespace
