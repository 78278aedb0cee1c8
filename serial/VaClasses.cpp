#include "serial/VaClasses.h"

TVaHandleObject::~TVaHandleObject() {
  if (handle_ != kNoWaitable) CloseWaitable(handle_);
}

TWaitResult TVaHandleObject::WaitFor(std::uint32_t Milliseconds) {
  return WaitForWaitable(handle_, Milliseconds, last_error_);
}

TVaEvent::TVaEvent() {
  SetHandle(event_.Handle());
}

TVaEvent::~TVaEvent() {
  SetHandle(kNoWaitable);  // the event closes its own handle
}
