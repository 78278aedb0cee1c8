// Handle, event and lock objects of the serial component.
#pragma once

#include <cstdint>

#include "runtime/Classes.h"
#include "runtime/Events.h"

// Owns one system object (a descriptor on Linux, a handle on Windows) and
// closes it when destroyed. A wait on it ends when the object is signalled
// (a descriptor: readable).
class TVaHandleObject : public TObject {
 public:
  explicit TVaHandleObject(TWaitable Handle = kNoWaitable) : handle_(Handle) {}
  ~TVaHandleObject() override;

  TWaitable Handle() const { return handle_; }
  // wrSignaled when readable, wrTimeout after Milliseconds (never with
  // INFINITE), wrAbandoned when the descriptor reports a hang-up or error
  // and nothing to read, wrError when the wait itself fails (LastError).
  TWaitResult WaitFor(std::uint32_t Milliseconds);
  int LastError() const { return last_error_; }

 protected:
  void SetHandle(TWaitable Handle) { handle_ = Handle; }

 private:
  TWaitable handle_;
  int last_error_ = 0;
};

// Manual-reset event, initially clear. Its handle is that of the runtime
// event it wraps; waits on it may be combined with other objects.
class TVaEvent : public TVaHandleObject {
 public:
  TVaEvent();  // EThread when the system has no event to give
  ~TVaEvent() override;
  void Signal() { event_.Signal(); }
  void Reset() { event_.Reset(); }
  bool IsSignaled() const { return event_.IsSignaled(); }

 private:
  TEvent event_;
};

class TVaWaitEvent : public TVaEvent {};

class TVaCriticalSection : public TObject {
 public:
  void Enter() { section_.Enter(); }
  void Leave() { section_.Leave(); }
  void lock() { section_.Enter(); }
  void unlock() { section_.Leave(); }

 private:
  TCriticalSection section_;
};
