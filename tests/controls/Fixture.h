// A headless window system installed for one test, and a recorder behind the
// application exception hook.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/Headless.h"
#include "runtime/Application.h"

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowSystem(&ws);
    SetApplicationOnException([this](TObject* sender, const std::exception& e) {
      hooked.push_back(e.what());
      hooked_senders.push_back(sender);
    });
  }
  void TearDown() override {
    SetApplicationOnException(nullptr);
    SetWindowSystem(nullptr);
  }

  THeadlessWindowSystem ws;
  std::vector<std::string> hooked;
  std::vector<TObject*> hooked_senders;
};
