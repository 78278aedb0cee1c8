// The console window, shown on the headless window system for each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/fBase.h"
#include "controls/Headless.h"
#include "tests/net/NetTestSupport.h"

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
  // Ticks "Активация" on a port nobody holds; returns the port.
  int ActivateUdp() {
    const int port = nettest::FreePort();
    form->EdPort->SetText(std::to_string(port));
    form->ChBxActiv->OperatorClick();
    EXPECT_TRUE(form->UDPServer->Active());
    return port;
  }
  THeadlessWindowSystem ws;
  std::unique_ptr<TBaseform> form;
};
