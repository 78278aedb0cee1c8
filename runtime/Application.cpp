#include "runtime/Application.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "runtime/Exception.h"

namespace {
std::mutex g_hook_mutex;
TExceptionEvent g_hook;

void Report(const char* what) {
  std::fprintf(stderr, "torin5: unhandled error: %s\n", what);
}
}  // namespace

void SetApplicationOnException(TExceptionEvent handler) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  g_hook = std::move(handler);
}

void ApplicationHandleException(TObject* Sender, std::exception_ptr E) {
  if (!E) return;
  TExceptionEvent hook;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    hook = g_hook;
  }
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& e) {
    if (!hook) {
      Report(e.what());
      return;
    }
    try {
      hook(Sender, e);
    } catch (const std::exception& inner) {
      Report(inner.what());
    } catch (...) {
      Report("unknown error in the exception hook");
    }
  } catch (...) {
    const Exception unknown("Unknown error");
    if (!hook) {
      Report(unknown.what());
      return;
    }
    try {
      hook(Sender, unknown);
    } catch (...) {
      Report("unknown error in the exception hook");
    }
  }
}

void ApplicationHandleException(TObject* Sender) {
  ApplicationHandleException(Sender, std::current_exception());
}
