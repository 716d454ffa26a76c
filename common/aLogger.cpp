#include "aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "aThread.h"

namespace {
const uint16_t kLoggerMarker = 0xDEED;
}

struct aLogger {
  uint16_t marker = kLoggerMarker;
  uint32_t identifier = 0;
  aLoggerPump pump = nullptr;
  aFile* file = nullptr;
  aThread* thread = nullptr;
  // Shared between the logger thread and its owner.
  std::atomic<bool> running{false};
  std::atomic<std::thread::id> threadId{};
};

static bool sIsValid(const aLogger* logger) {
  return logger != nullptr && logger->marker == kLoggerMarker;
}

static void* sRunLog(void* arg) {
  auto* logger = static_cast<aLogger*>(arg);
  logger->threadId = std::this_thread::get_id();
  while (logger->running) {
    logger->pump(logger->file, logger->identifier);
  }
  return nullptr;
}

aLogger* aLogger_Create(uint32_t identifier, aLoggerPump pump, const char* path) {
  if (pump == nullptr) {
    return nullptr;
  }
  aFile* file = aFile_Open(path, aFileModeAppend);
  if (file == nullptr) {
    return nullptr;
  }
  aFile_SetUnbuffered(file);
  auto* logger = new (std::nothrow) aLogger();
  if (logger == nullptr) {
    aFile_Close(&file);
    return nullptr;
  }
  logger->identifier = identifier;
  logger->pump = pump;
  logger->file = file;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sIsValid(logger)) {
    return aErrParam;
  }
  if (logger->running) {
    return aErrNone;
  }
  logger->running = true;
  logger->thread = aThread_Create(sRunLog, logger);
  if (logger->thread == nullptr) {
    logger->running = false;
    return aErrResource;
  }
  return aErrNone;
}

static bool sOnLoggerThread(const aLogger* logger) {
  return logger->threadId.load() == std::this_thread::get_id();
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sIsValid(logger)) {
    return aErrParam;
  }
  if (!logger->running || sOnLoggerThread(logger)) {
    return aErrNone;
  }
  logger->running = false;
  int rc = aThread_Destroy(&logger->thread);
  logger->threadId = std::thread::id();
  return rc == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !sIsValid(*logger)) {
    return aErrNone;
  }
  aLogger* l = *logger;
  // The pump cannot free the logger it runs in.
  if (l->running && sOnLoggerThread(l)) {
    return aErrBusy;
  }
  aErr err = aLogger_Disable(l);
  if (err != aErrNone) {
    return err;
  }
  aFile_Close(&l->file);
  l->marker = 0;
  delete l;
  *logger = nullptr;
  return aErrNone;
}
