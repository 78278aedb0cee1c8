// One Qt window system for the whole test program (QApplication is one per
// process), installed for each test, and a recorder behind the exception
// hook.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/qt/QtWindowSystem.h"
#include "runtime/Application.h"

inline TQtWindowSystem& QtSystem() {
  static int argc = 1;
  static char name[] = "test_controls_qt";
  static char* argv[] = {name, nullptr};
  static TQtWindowSystem* ws = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new TQtWindowSystem(argc, argv);  // lives until the process ends
  }();
  return *ws;
}

// Runs the Qt loop (and nothing else) until cond holds or ms pass.
inline bool SpinUntil(const std::function<bool()>& cond, int ms = 10000) {
  QDeadlineTimer deadline(ms);
  while (!cond()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

class QtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowSystem(&QtSystem());
    SetApplicationOnException([this](TObject* sender, const std::exception& e) {
      hooked.push_back(e.what());
      hooked_senders.push_back(sender);
    });
  }
  void TearDown() override {
    SetApplicationOnException(nullptr);
    SetWindowSystem(nullptr);
  }
  TQtWindowSystem& ws = QtSystem();
  std::vector<std::string> hooked;
  std::vector<TObject*> hooked_senders;
};
