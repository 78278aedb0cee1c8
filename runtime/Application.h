// The application-wide exception hook: every error that escapes a handler run
// by the message loop, or that a component catches in its own event dispatch,
// ends here.
#pragma once

#include <exception>
#include <functional>

class TObject;

using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

// Installs the hook (an empty function removes it). Without a hook the error
// text goes to standard error.
void SetApplicationOnException(TExceptionEvent handler);

// Routes the exception E to the hook. Never throws: an error raised by the
// hook itself is written to standard error and dropped.
void ApplicationHandleException(TObject* Sender, std::exception_ptr E);
// The same for the exception currently being handled (call inside catch).
void ApplicationHandleException(TObject* Sender);
