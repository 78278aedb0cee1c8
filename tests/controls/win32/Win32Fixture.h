// One Win32 window system for the whole test program, installed for each
// test, a recorder behind the exception hook, and a loop that runs until a
// condition holds or a deadline passes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/win32/Win32WindowSystem.h"
#include "runtime/Application.h"
#include "runtime/Events.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>

inline TWin32WindowSystem& Win32System() {
  static auto* ws = new TWin32WindowSystem();  // lives until the process ends
  return *ws;
}

// Runs the loop (messages and marshalled calls) until cond holds or ms pass.
inline bool SpinUntil(const std::function<bool()>& cond, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    Win32System().ProcessMessages();
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

inline std::wstring TextOf(HWND w) {
  wchar_t buf[512] = {};
  GetWindowTextW(w, buf, 512);
  return buf;
}

class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowSystem(&ws);
    SetApplicationOnException(
        [this](TObject*, const std::exception& e) { hooked.push_back(e.what()); });
  }
  void TearDown() override {
    SetApplicationOnException(nullptr);
    SetWindowSystem(nullptr);
  }
  TWin32WindowSystem& ws = Win32System();
  std::vector<std::string> hooked;
};
