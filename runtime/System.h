// What the runtime asks of the system beyond events and waits; one
// implementation per platform (SystemLinux.cpp, SystemWin32.cpp).
#pragma once

#include <cstddef>

#include "runtime/Thread.h"

// Asks the system to run thread at value; returns the priority in force
// afterwards (a raise an unprivileged user is refused leaves the old one).
// Raises EThread on any other failure, unless the thread has finished.
TThreadPriority ApplyThreadPriority(TThreadId thread, TThreadPriority value, bool finished);

// The system's error code of the calling thread's last failed call.
int LastSystemError();
// The system's codes for a thread that may not do what it asked (suspend
// another thread) and for a wait that would never end (a thread waiting for
// itself).
extern const int kErrorNotPermitted;
extern const int kErrorDeadlock;

// Memory straight from the system's pages, given back to it at once when
// freed (whatever a heap would keep). AllocatePages raises std::bad_alloc.
void* AllocatePages(std::size_t size);
void FreePages(void* pages, std::size_t size);
