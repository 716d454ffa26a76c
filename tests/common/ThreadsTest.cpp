#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

namespace {

TEST(aMutexTest, NamesUpTo255Characters) {
  std::string name255(255, 'n');
  aMutex* m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), name255);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);

  std::string name256(256, 'n');
  EXPECT_EQ(aMutex_Create(name256.c_str()), nullptr);

  aMutex* unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(aMutexTest, NullHandlesAreRejected) {
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

struct Shared {
  aMutex* mutex;
  long counter = 0;
  aErr tryResult = aErrNone;
};

void* Increment(void* arg) {
  Shared* s = static_cast<Shared*>(arg);
  for (int i = 0; i < 20000; ++i) {
    aMutex_Lock(s->mutex);
    s->counter++;
    aMutex_Unlock(s->mutex);
  }
  return nullptr;
}

void* TryOnce(void* arg) {
  Shared* s = static_cast<Shared*>(arg);
  s->tryResult = aMutex_TryLock(s->mutex);
  if (s->tryResult == aErrNone) aMutex_Unlock(s->mutex);
  return nullptr;
}

TEST(aMutexTest, ExcludesOtherThreads) {
  Shared s;
  s.mutex = aMutex_Create("counter");
  ASSERT_NE(s.mutex, nullptr);
  std::vector<aThread*> threads;
  for (int i = 0; i < 4; ++i) threads.push_back(aThread_Create(Increment, &s));
  for (aThread*& t : threads) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
  }
  EXPECT_EQ(s.counter, 4 * 20000);

  // Held here, so another thread's try fails; free again, it succeeds.
  ASSERT_EQ(aMutex_Lock(s.mutex), aErrNone);
  aThread* t = aThread_Create(TryOnce, &s);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(s.tryResult, aErrBusy);
  ASSERT_EQ(aMutex_Unlock(s.mutex), aErrNone);
  t = aThread_Create(TryOnce, &s);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(s.tryResult, aErrNone);
  EXPECT_EQ(aMutex_Destroy(&s.mutex), aErrNone);
}

TEST(aMutexTest, DestroyingALockedMutexReportsBusy) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer reports destroying a locked mutex by design";
#endif
  aMutex* m = aMutex_Create("held");
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(aMutex_Lock(m), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
  EXPECT_EQ(m, nullptr);  // freed and nulled all the same
}

void* SetFlag(void* arg) {
  *static_cast<int*>(arg) = 7;
  return nullptr;
}

TEST(aThreadTest, DestroyJoinsBeforeReturning) {
  for (int round = 0; round < 20; ++round) {
    int flag = 0;
    aThread* t = aThread_Create(SetFlag, &flag);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(flag, 7) << "round " << round;  // the join orders the thread's write before this read
  }
  aThread* none = nullptr;
  EXPECT_EQ(aThread_Destroy(&none), EINVAL);
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

struct SelfDestroy {
  aThread* handle = nullptr;
  std::promise<void> published;
  std::promise<int> result;
};

void* DestroyOwnHandle(void* arg) {
  SelfDestroy* s = static_cast<SelfDestroy*>(arg);
  s->published.get_future().wait();
  s->result.set_value(aThread_Destroy(&s->handle));
  return nullptr;
}

TEST(aThreadTest, DestroyFromTheThreadItselfDoesNotHang) {
  SelfDestroy s;
  std::future<int> result = s.result.get_future();
  s.handle = aThread_Create(DestroyOwnHandle, &s);
  ASSERT_NE(s.handle, nullptr);
  s.published.set_value();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), EDEADLK);
  EXPECT_EQ(s.handle, nullptr);
}

TEST(aTimeTest, ClocksAndSleep) {
  uint64_t wall = aTime_GetMSTicks();
  uint64_t now = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
  EXPECT_LE(wall, now);
  EXPECT_GT(wall + 1000, now);

  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 500u);

  // More than one second is slept in several pieces; all of it must be slept.
  start = aTime_GetMonotonicMS();
  EXPECT_EQ(aTime_MSSleep(1100), aErrNone);
  uint64_t elapsed = aTime_GetMonotonicMS() - start;
  EXPECT_GE(elapsed, 1100u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
