#include "aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kMutexMarker = 0x4D55;
constexpr size_t kNameSize = 256;
}  // namespace

struct aMutex {
  uint32_t marker;  // kMutexMarker while alive, 0 once destroyed
  pthread_mutex_t mutex;
  char name[kNameSize];
};

static bool sValid(const aMutex* m) { return m != nullptr && m->marker == kMutexMarker; }

aMutex* aMutex_Create(const char* name) {
  if (name != nullptr && strnlen(name, kNameSize) >= kNameSize) return nullptr;
  aMutex* m = new (std::nothrow) aMutex;
  if (m == nullptr) return nullptr;
  memset(m->name, 0, sizeof m->name);
  if (name != nullptr) memcpy(m->name, name, strlen(name));
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  m->marker = kMutexMarker;
  return m;
}

const char* aMutex_Identifier(const aMutex* mutex) {
  return sValid(mutex) ? mutex->name : nullptr;
}

aErr aMutex_Lock(aMutex* mutex) {
  if (!sValid(mutex)) return aErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (!sValid(mutex)) return aErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    default: return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (!sValid(mutex)) return aErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
  }
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aMutex* m = *mutex;
  *mutex = nullptr;
  if (!sValid(m)) return aErrParam;
  aErr err;
  switch (pthread_mutex_destroy(&m->mutex)) {
    case 0: err = aErrNone; break;
    case EBUSY: err = aErrBusy; break;
    case EAGAIN:
    case ENOMEM: err = aErrResource; break;
    default: err = aErrUnknown; break;
  }
  m->marker = 0;
  delete m;
  return err;
}
