// The console window on the headless window system: what the operator sees
// at start, the handlers of this window, and the exception hook.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "app/fBase.h"
#include "controls/Headless.h"
#include "serial/VaCommError.h"
#include "tests/app/ConsoleFixture.h"

namespace {

TEST_F(Console, StartState) {
  EXPECT_EQ(form->Caption(), "Конфигуратор TORIN5  ДОРМАКС ");
  EXPECT_EQ(form->ComboPortNum->Text(), "Порт 1");
  EXPECT_EQ(form->ComboBaudrate->Text(), "115200");
  EXPECT_FALSE(form->GrBxSet->Visible());
  EXPECT_FALSE(form->GrBxSet->Showing());
  EXPECT_EQ(form->edtHost->Text(), "192.168.0.150");
  EXPECT_EQ(form->edtPort->Text(), "10501");
  EXPECT_EQ(form->StatusBar->PanelText(6), "Com-порт не выбран");
  for (int i : {0, 1, 2, 3, 4, 5, 7, 8}) EXPECT_EQ(form->StatusBar->PanelText(i), "") << i;
  EXPECT_FALSE(form->RButDirect->Checked());
  EXPECT_FALSE(form->RButPack->Checked());
  EXPECT_EQ(form->RButPack->Tag(), 0);
  EXPECT_FALSE(form->ChBxTreat->Checked());
  EXPECT_FALSE(form->ChBxActiv->Checked());
  EXPECT_FALSE(form->SysTimer->Enabled());
  EXPECT_EQ(form->SysTimer->Interval(), 5);
  EXPECT_EQ(form->LogText(), "");
  EXPECT_EQ(form->ActiveControl(), form->BtnETX);
  EXPECT_TRUE(form->MemMess->ReadOnly());
  EXPECT_FALSE(form->MemMess->TabStop());
}

TEST_F(Console, ListsHoldThePortsAndRatesInOrder) {
  const TStringList& ports = form->ComboPortNum->Items();
  ASSERT_EQ(ports.Count(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(ports.Strings(i), "Порт " + std::to_string(i + 1));
  const char* rates[] = {"110",    "300",    "600",    "1200",   "2400",  "4800",  "9600",
                         "14400",  "19200",  "28800",  "38400",  "56000", "57600", "115200",
                         "128000", "256000", "230400", "460800", "921600"};
  const TStringList& list = form->ComboBaudrate->Items();
  ASSERT_EQ(list.Count(), 19);
  for (int i = 0; i < 19; ++i) EXPECT_EQ(list.Strings(i), rates[i]);
}

TEST_F(Console, StatusPanelsHaveTheirWidthsAndAlignment) {
  const int widths[] = {50, 50, 50, 50, 50, 50, 150, 150, 50};
  const TAlignment align[] = {taCenter,      taCenter,      taCenter,
                              taCenter,      taLeftJustify, taLeftJustify,
                              taLeftJustify, taLeftJustify, taLeftJustify};
  ASSERT_EQ(form->StatusBar->PanelCount(), 9);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(form->StatusBar->PanelWidth(i), widths[i]) << i;
    EXPECT_EQ(form->StatusBar->PanelAlignment(i), align[i]) << i;
  }
}

TEST_F(Console, LayoutFollowsTheFormDescriptionAndResizeGrowsOnlyTheLogPane) {
  // Client area less the window's inner border of 3.
  const int cw = form->ClientWidth(), ch = form->ClientHeight();
  EXPECT_EQ(form->iPanel->BoundsRect(), (TRect{3, ch - 3 - 100, cw - 3, ch - 3}));
  EXPECT_EQ(form->sPanel->BoundsRect(), (TRect{cw - 3 - 238, 3, cw - 3, ch - 3 - 100}));
  EXPECT_EQ(form->vPanel->BoundsRect(), (TRect{3, 3, cw - 3 - 238, ch - 3 - 100}));
  EXPECT_EQ(form->MemMess->BoundsRect(),
            (TRect{5, 5, form->vPanel->Width() - 5, form->vPanel->Height() - 5}));
  EXPECT_EQ(form->GrBxInit->BoundsRect(), (TRect{5, 5, 233, 62}));
  EXPECT_EQ(form->GroupBox1->BoundsRect(), (TRect{5, 62, 233, 312}));
  EXPECT_EQ(form->GrBxCmdLn->BoundsRect(), (TRect{214, 28, 629, 71}));
  EXPECT_EQ(form->EdCmdLn->BoundsRect(), (TRect{5, 14, 301, 37}));
  EXPECT_EQ(form->BtnETX->BoundsRect(), (TRect{360, 15, 410, 37}));
  EXPECT_EQ(form->StatusBar->Height(), 26);
  EXPECT_EQ(form->StatusBar->Top(), 100 - 26);
  EXPECT_EQ(form->Width(), 644);
  EXPECT_EQ(form->Height(), 453);

  const TRect memo = form->MemMess->BoundsRect();
  const TRect cmd = form->GrBxCmdLn->BoundsRect();
  form->OperatorResize(cw + 200, ch + 100);
  EXPECT_EQ(form->MemMess->Width(), memo.Width() + 200);
  EXPECT_EQ(form->MemMess->Height(), memo.Height() + 100);
  EXPECT_EQ(form->sPanel->Width(), 238);
  EXPECT_EQ(form->iPanel->Height(), 100);
  EXPECT_EQ(form->GrBxCmdLn->BoundsRect(), cmd);
  EXPECT_EQ(form->StatusBar->Width(), form->iPanel->Width());
}

TEST_F(Console, SettingsButtonTogglesTheGroupAndFocusesTheCommandLine) {
  form->BtnETX->OperatorFocus();
  form->BtSet->OperatorClick();
  EXPECT_TRUE(form->GrBxSet->Showing());
  EXPECT_EQ(form->ActiveControl(), form->EdCmdLn);
  form->BtnETX->OperatorFocus();
  form->BtSet->OperatorClick();
  EXPECT_FALSE(form->GrBxSet->Showing());
  EXPECT_EQ(form->ActiveControl(), form->EdCmdLn);
}

TEST_F(Console, ResetClearsTheLogPaneAndItsViewAndFocusesTheCommandLine) {
  form->LogAddLine("line");
  form->ShowPrintable(std::string("\xC0\xFF\r", 3));
  auto* view = static_cast<THeadlessMemoPeer*>(THeadlessWindowSystem::StateOf(*form->MemMess));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->Text, form->LogText());
  form->BtnETX->OperatorFocus();
  form->ButtonReset->OperatorClick();
  EXPECT_EQ(form->LogText(), "");
  EXPECT_EQ(view->Text, "");
  EXPECT_EQ(form->ActiveControl(), form->EdCmdLn);
}

TEST_F(Console, HookShowsSerialErrorsAndDropsEveryOtherError) {
  form->BtTransmit->OnClick = [](TObject*) {
    throw EVaCommError("Specified device not found (COM7).");
  };
  form->BtTransmit->OperatorClick();
  ASSERT_EQ(ws.Messages().size(), 1u);
  EXPECT_EQ(ws.Messages()[0], "Specified device not found (COM7).");

  ws.ClearMessages();
  form->BtTransmit->OnClick = [](TObject*) { StrToInt("5000x"); };
  EXPECT_NO_THROW(form->BtTransmit->OperatorClick());
  struct EDerived : EVaCommError {
    using EVaCommError::EVaCommError;
  };
  form->BtTransmit->OnClick = [](TObject*) { throw std::runtime_error("not ours"); };
  form->BtTransmit->OperatorClick();
  EXPECT_TRUE(ws.Messages().empty());
  // A subclass of the serial error is shown too.
  form->BtTransmit->OnClick = [](TObject*) { throw EDerived("derived"); };
  form->BtTransmit->OperatorClick();
  ASSERT_EQ(ws.Messages().size(), 1u);
  EXPECT_EQ(ws.Messages()[0], "derived");
}

TEST_F(Console, AHandlerEndedByAnErrorDoesNotMoveTheFocus) {
  form->BtnETX->OperatorFocus();
  form->ButtonReset->OnClick = [this](TObject*) {
    form->LogClear();
    throw Exception("stops here");
  };
  form->ButtonReset->OperatorClick();
  EXPECT_EQ(form->ActiveControl(), form->BtnETX);
}

TEST_F(Console, CheckBoxRaisesOnProgramChangeButNotOnTheSameState) {
  int clicks = 0;
  form->ChBxTreat->OnClick = [&](TObject*) { ++clicks; };
  form->ChBxTreat->SetChecked(true);
  EXPECT_EQ(clicks, 1);
  form->ChBxTreat->SetChecked(true);
  EXPECT_EQ(clicks, 1);
  form->ChBxTreat->OperatorClick();
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(form->ChBxTreat->Checked());
}

TEST_F(Console, SerialComponentHasItsDesignSettingsAndEightNOne) {
  TVaComm& comm = *form->VaComm;
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.Baudrate(), brUser);
  EXPECT_EQ(comm.Databits(), db8);
  EXPECT_EQ(comm.Parity(), paNone);
  EXPECT_EQ(comm.Stopbits(), sb1);
  EXPECT_EQ(comm.DeviceName(), "COM%d");
  EXPECT_EQ(comm.PortNum(), 0);
  EXPECT_EQ(comm.MonitorEvents(), (TVaCommEvents{ceError, ceRxChar, ceTxEmpty, ceRxFlag}));
  EXPECT_EQ(comm.FlowControl()->ControlDtr(), dtrDisabled);
  EXPECT_EQ(comm.FlowControl()->ControlRts(), rtsDisabled);
  EXPECT_FALSE(comm.FlowControl()->OutCtsFlow());
  EXPECT_FALSE(comm.FlowControl()->XonXoffIn());
}

TEST_F(Console, ClosingWithThePortClosedEndsTheLoopAtOnce) {
  SetMainForm(form.get());
  const auto start = std::chrono::steady_clock::now();
  form->OperatorClose();
  // Nothing was open, so there is no close pause.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(ws.Terminated());
  EXPECT_FALSE(form->Visible());
  SetMainForm(nullptr);
}

}  // namespace

// Up and Down in the command line walk the lines sent this run, by Enter,
// "COM" and "Сеть"; the line being typed comes back after the newest.
TEST_F(Console, UpAndDownWalkTheLinesSentThisRun) {
  // "Сеть" sends to a loopback port nobody reads, from a server of its own.
  ActivateUdp();
  form->edtHost->SetText("127.0.0.1");
  form->edtPort->SetText(std::to_string(nettest::FreePort()));
  enum Do { Type, Enter, Com, Net, Up, Down };
  struct Step {
    Do what;
    std::string text;  // typed, or the command line's text after the step
  };
  const Step steps[] = {
      {Up, ""},  // nothing sent yet: nothing to recall
      {Type, "ver"},        {Enter, "ver"},  // the text stays after sending
      {Type, "stat 1"},     {Com, "stat 1"},
      {Type, "stat 1"},     {Net, "stat 1"},  // the same line again is kept once
      {Type, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},  // "тест"
      {Enter, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
      {Type, ""},           {Enter, ""},  // an empty line is not kept
      {Type, "half-typed"},
      {Up, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
      {Up, "stat 1"},       {Up, "ver"},
      {Up, "ver"},  // the oldest stays
      {Down, "stat 1"},     {Down, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
      {Down, "half-typed"},  // the line being typed comes back
      {Down, "half-typed"},  // and stays
      {Up, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
      {Up, "stat 1"},
      {Enter, "stat 1"},  // a recalled line sent again is the newest once
      {Up, "stat 1"},       {Up, "\xD1\x82\xD0\xB5\xD1\x81\xD1\x82"},
  };
  int i = 0;
  for (const Step& s : steps) {
    switch (s.what) {
      case Type:
        form->EdCmdLn->SetText(s.text);
        continue;
      case Enter:
        form->EdCmdLn->OperatorKey('\r');
        break;
      case Com:
        form->BtTransmit->OperatorClick();
        break;
      case Net:
        form->BtnETX->OperatorClick();
        break;
      case Up:
      case Down:
        EXPECT_TRUE(form->EdCmdLn->OperatorMoveKey(s.what == Up ? mkUp : mkDown));
        break;
    }
    EXPECT_EQ(form->EdCmdLn->Text(), s.text) << "step " << i;
    ++i;
  }
  EXPECT_TRUE(ws.Messages().empty()) << ws.Messages()[0];
}
