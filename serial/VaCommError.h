// The serial component's error: a message built from a template, the
// platform error code and its system text.
#pragma once

#include "runtime/Exception.h"

class EVaCommError : public Exception {
 public:
  using Exception::Exception;
};
