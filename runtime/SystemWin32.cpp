// The runtime's system calls on Windows: events are manual-reset event
// objects, waits are WaitForMultipleObjects, thread priorities are the
// system's seven levels, error texts come from FormatMessageA.
#include <chrono>
#include <cstdint>
#include <new>
#include <string>

#include "runtime/Events.h"
#include "runtime/Exception.h"
#include "runtime/System.h"
#include "runtime/Thread.h"

// Last: its macros (INFINITE among them) stand for the same values as the
// program's own names.
#include <windows.h>

namespace {

HANDLE AsHandle(TWaitable w) {
  return reinterpret_cast<HANDLE>(w);
}

[[noreturn]] void RaiseThreadError(DWORD err) {
  const int code = static_cast<int>(err);
  throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(code).c_str(), code));
}

}  // namespace

TEvent::TEvent(bool initiallySignaled)
    : handle_(reinterpret_cast<TWaitable>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
  if (handle_ == 0) RaiseThreadError(GetLastError());
  if (initiallySignaled) Signal();
}

TEvent::~TEvent() {
  CloseHandle(AsHandle(handle_));
}

void TEvent::Signal() {
  std::lock_guard guard(lock_);
  if (signaled_.load(std::memory_order_relaxed)) return;
  SetEvent(AsHandle(handle_));
  signaled_.store(true, std::memory_order_release);
}

void TEvent::Reset() {
  std::lock_guard guard(lock_);
  if (!signaled_.load(std::memory_order_relaxed)) return;
  ResetEvent(AsHandle(handle_));
  signaled_.store(false, std::memory_order_release);
}

TWaitResult TEvent::WaitFor(std::uint32_t ms, TWaitStyle style) const {
  const TWaitable h = handle_;
  const int r = WaitForAny(std::span<const TWaitable>(&h, 1), ms, nullptr, style);
  return r == 0 ? wrSignaled : (r == -1 ? wrTimeout : wrError);
}

namespace {

// One wait: the index of the first signalled object, -1 on timeout, -2 with
// the error in *err when the wait fails.
int WaitOnce(const HANDLE* handles, DWORD count, DWORD ms, int* err) {
  const DWORD r = WaitForMultipleObjects(count, handles, FALSE, ms);
  if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
  // An abandoned mutex is still the caller's now.
  if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count) {
    return static_cast<int>(r - WAIT_ABANDONED_0);
  }
  if (r == WAIT_TIMEOUT) return -1;
  if (err) *err = static_cast<int>(GetLastError());
  return -2;
}

}  // namespace

int WaitForAny(std::span<const TWaitable> objects, std::uint32_t ms, int* errorOut,
               TWaitStyle style) {
  if (objects.size() > MAXIMUM_WAIT_OBJECTS) {
    if (errorOut) *errorOut = ERROR_INVALID_PARAMETER;
    return -2;
  }
  // On the stack: every wait of every thread comes through here.
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  const auto count = static_cast<DWORD>(objects.size());
  for (DWORD i = 0; i < count; ++i) handles[i] = AsHandle(objects[i]);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  if (style == TWaitStyle::SpinFirst && ms != 0) {
    int r = -1;
    SpinBriefly([&] {
      r = WaitOnce(handles, count, 0, errorOut);
      return r != -1;
    });
    if (r != -1) return r;
    if (ms != INFINITE) {
      // The look took some of the time asked for.
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      ms = spent >= ms ? 0 : ms - static_cast<std::uint32_t>(spent);
    }
  }
  return WaitOnce(handles, count, ms, errorOut);
}

TWaitResult WaitForWaitable(TWaitable object, std::uint32_t ms, int& errorOut) {
  switch (WaitForSingleObject(AsHandle(object), ms)) {
    case WAIT_OBJECT_0:
      return wrSignaled;
    case WAIT_ABANDONED:
      return wrAbandoned;
    case WAIT_TIMEOUT:
      return wrTimeout;
    default:
      errorOut = static_cast<int>(GetLastError());
      return wrError;
  }
}

void CloseWaitable(TWaitable object) {
  if (object != kNoWaitable && object != 0) CloseHandle(AsHandle(object));
}

std::string SysErrorMessage(int code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  if (n == 0 || !text) return Format("Unknown error %d", code);
  std::string message(text, n);
  LocalFree(text);
  // The text is in the system's code page; the program shows Windows-1251.
  if (GetACP() != 1251) {
    const int wn = MultiByteToWideChar(CP_ACP, 0, message.data(), static_cast<int>(message.size()),
                                       nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(wn > 0 ? wn : 0), L'\0');
    if (wn > 0) {
      MultiByteToWideChar(CP_ACP, 0, message.data(), static_cast<int>(message.size()), wide.data(),
                          wn);
      const int cn = WideCharToMultiByte(1251, 0, wide.data(), wn, nullptr, 0, nullptr, nullptr);
      if (cn > 0) {
        message.assign(static_cast<std::size_t>(cn), '\0');
        WideCharToMultiByte(1251, 0, wide.data(), wn, message.data(), cn, nullptr, nullptr);
      }
    }
  }
  // The system ends its texts with a line break.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

TThreadId CurrentThreadId() {
  return static_cast<TThreadId>(GetCurrentThreadId());
}

namespace {

constexpr int kLevels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                           THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                           THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                           THREAD_PRIORITY_TIME_CRITICAL};

TThreadPriority PriorityOfLevel(int level) {
  int best = 0;
  for (int i = 1; i < 7; ++i) {
    const int d = kLevels[i] > level ? kLevels[i] - level : level - kLevels[i];
    const int b = kLevels[best] > level ? kLevels[best] - level : level - kLevels[best];
    if (d < b) best = i;
  }
  return static_cast<TThreadPriority>(best);
}

}  // namespace

TThreadPriority ApplyThreadPriority(TThreadId thread, TThreadPriority value, bool finished) {
  const HANDLE h = OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE,
                              static_cast<DWORD>(thread));
  if (!h) {
    const DWORD err = GetLastError();
    // A thread that has already ended has no priority.
    if (finished) return value;
    RaiseThreadError(err);
  }
  const bool set = SetThreadPriority(h, kLevels[static_cast<int>(value)]);
  const DWORD set_error = set ? 0 : GetLastError();
  const int level = GetThreadPriority(h);
  const DWORD get_error = level == THREAD_PRIORITY_ERROR_RETURN ? GetLastError() : 0;
  CloseHandle(h);
  // A refused raise runs at the old priority, which is harmless.
  if (!set && set_error != ERROR_ACCESS_DENIED && !finished) RaiseThreadError(set_error);
  if (level == THREAD_PRIORITY_ERROR_RETURN) {
    if (!finished) RaiseThreadError(get_error);
    return value;
  }
  return PriorityOfLevel(level);
}

void LowerCurrentThreadPriority() {
  // Best effort: a helper that runs a little later is harmless.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

int LastSystemError() {
  return static_cast<int>(GetLastError());
}

const int kErrorNotPermitted = ERROR_ACCESS_DENIED;
const int kErrorDeadlock = ERROR_POSSIBLE_DEADLOCK;

void* AllocatePages(std::size_t size) {
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p) throw std::bad_alloc();
  return p;
}

void FreePages(void* pages, std::size_t size) {
  VirtualFree(pages, 0, MEM_RELEASE);
}
