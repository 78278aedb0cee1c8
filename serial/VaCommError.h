// The serial component's error: a message built from a template, the
// platform error code and its system text.
#pragma once

#include <string>
#include <utility>

#include "runtime/Exception.h"

class EVaCommError : public Exception {
 public:
  explicit EVaCommError(std::string message, int code = 0)
      : Exception(std::move(message)), code_(code) {}
  // The platform's error code (errno, GetLastError); 0 when the error is the
  // component's own.
  int Code() const noexcept { return code_; }

 private:
  int code_;
};
