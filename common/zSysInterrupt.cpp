#include "zSysInterrupt.h"

#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

namespace {
std::mutex gInterruptMutex;  // guards gRaised and the handler swap
bool gRaised = false;
}  // namespace

void zSysInterruptHandler_process(void) {
  if (!zsys_interrupted) {
    return;
  }
  std::lock_guard<std::mutex> lock(gInterruptMutex);
  zsys_handler_set(nullptr);
  if (!gRaised) {
    gRaised = true;
    kill(getpid(), SIGINT);
  }
  zsys_handler_reset();
}
