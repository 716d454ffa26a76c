#pragma once
// Named, non-recursive mutexes. A mutex is created with default attributes: it is neither
// recursive nor error-checking, so a thread must never lock one it already holds.

#include "aErr.h"

typedef struct aMutex aMutex;

// A new unlocked mutex with the given name (null for none), or null when the name is 256
// characters or longer, memory runs out or the mutex cannot be initialised.
aMutex* aMutex_Create(const char* name);

// The mutex's name ("" when it has none); null for a null or invalid mutex.
const char* aMutex_Identifier(const aMutex* mutex);

// aErrNone; aErrParam for a null or invalid mutex; aErrDuplicate when the system reports a
// dead-lock; aErrUnknown otherwise.
aErr aMutex_Lock(aMutex* mutex);

// aErrNone when taken; aErrBusy when held elsewhere; aErrParam for a null or invalid mutex;
// aErrUnknown otherwise.
aErr aMutex_TryLock(aMutex* mutex);

// aErrNone; aErrPermission when the system reports the caller does not hold it; aErrParam
// for a null or invalid mutex; aErrUnknown otherwise.
aErr aMutex_Unlock(aMutex* mutex);

// Destroys the mutex and sets *mutex to null. aErrBusy when it was locked, aErrResource when
// the system lacked resources, aErrUnknown for another system failure; the record is freed
// in each of these cases. aErrParam for a null pointer, a null handle or an invalid record
// (which is not freed, since it is not ours; the handle is still set to null).
aErr aMutex_Destroy(aMutex** mutex);
