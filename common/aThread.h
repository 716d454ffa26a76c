#pragma once
// Joinable threads. A thread runs from aThread_Create until its entry function returns;
// aThread_Destroy does not stop it, it waits for it, so the owner makes the thread's loop
// end first (for example with a flag the loop checks).

typedef struct aThread aThread;

typedef void* (*aThreadEntry)(void* arg);

// A new running thread that calls entry(arg), or null when the entry is null, memory runs
// out or the thread cannot be created.
aThread* aThread_Create(aThreadEntry entry, void* arg);

// Waits until the thread has ended, frees the handle and sets *thread to null. Returns the
// join's system result (0 on success), or EINVAL for a null or invalid handle. Called by the
// thread on its own handle it returns EDEADLK without waiting; the thread is then detached
// so its resources are released when it ends.
int aThread_Destroy(aThread** thread);

// Gives up the processor briefly (a sleep of 5000 nanoseconds).
void aThread_Yield(void);
