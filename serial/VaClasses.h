// Handle, event and lock objects of the serial component.
#pragma once

#include <cstdint>

#include "runtime/Classes.h"
#include "runtime/Events.h"

// Owns one descriptor and closes it when destroyed. A wait on it ends when
// the descriptor becomes readable.
class TVaHandleObject : public TObject {
 public:
  explicit TVaHandleObject(int Handle = -1) : handle_(Handle) {}
  ~TVaHandleObject() override;

  int Handle() const { return handle_; }
  // wrSignaled when readable, wrTimeout after Milliseconds (never with
  // INFINITE), wrAbandoned when the descriptor reports a hang-up or error
  // and nothing to read, wrError when the wait itself fails (LastError).
  TWaitResult WaitFor(std::uint32_t Milliseconds);
  int LastError() const { return last_error_; }

 protected:
  void SetHandle(int Handle) { handle_ = Handle; }

 private:
  int handle_;
  int last_error_ = 0;
};

// Manual-reset event, initially clear. Its handle is the descriptor of the
// runtime event it wraps; waits on it may be combined with other descriptors.
class TVaEvent : public TVaHandleObject {
 public:
  TVaEvent();  // EThread when no descriptor can be had
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
