#include "aThread.h"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

namespace {
constexpr uint32_t kThreadMarker = 0x7EAD;
}

struct aThread {
  uint32_t marker;  // kThreadMarker while alive, 0 once destroyed
  pthread_t thread;
};

aThread* aThread_Create(aThreadEntry entry, void* arg) {
  if (entry == nullptr) return nullptr;
  aThread* t = new (std::nothrow) aThread;
  if (t == nullptr) return nullptr;
  if (pthread_create(&t->thread, nullptr, entry, arg) != 0) {
    delete t;
    return nullptr;
  }
  t->marker = kThreadMarker;
  return t;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return EINVAL;
  aThread* t = *thread;
  *thread = nullptr;
  if (t->marker != kThreadMarker) return EINVAL;
  // A thread cannot wait for itself: it is detached instead, so its resources are released
  // when it ends.
  int rc;
  if (pthread_equal(t->thread, pthread_self())) {
    pthread_detach(t->thread);
    rc = EDEADLK;
  } else {
    rc = pthread_join(t->thread, nullptr);
  }
  t->marker = 0;
  delete t;
  return rc;
}

void aThread_Yield(void) {
  struct timespec ts = {0, 5000};
  nanosleep(&ts, nullptr);
}
