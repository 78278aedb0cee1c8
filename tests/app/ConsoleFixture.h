// The console window, shown on the headless window system for each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/fBase.h"
#include "controls/Headless.h"

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowSystem(&ws);
    form = std::make_unique<TBaseform>(nullptr);
    form->Show();
  }
  void TearDown() override {
    form.reset();
    SetWindowSystem(nullptr);
  }
  THeadlessWindowSystem ws;
  std::unique_ptr<TBaseform> form;
};
