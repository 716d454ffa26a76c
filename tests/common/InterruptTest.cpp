// The CZMQ interrupt hand-off raises the interrupt once for the process's own handler.
#include <czmq.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zSysInterrupt.h"

namespace {

volatile sig_atomic_t gHits = 0;
void CountHit(int) { gHits = gHits + 1; }

TEST(Interrupt, HandsAnInterruptBackOnce) {
  // In a child, so the process-wide signal state of the test runner stays untouched.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct sigaction action = {};
    action.sa_handler = CountHit;
    sigaction(SIGINT, &action, nullptr);
    zSysInterruptHandler_process();  // not interrupted: nothing happens
    if (gHits != 0) _exit(10);
    zsys_interrupted = 1;
    zSysInterruptHandler_process();
    zSysInterruptHandler_process();
    _exit(gHits == 1 ? 0 : 20 + gHits);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: raised without an interrupt; 2x: raised x times";
}

}  // namespace
