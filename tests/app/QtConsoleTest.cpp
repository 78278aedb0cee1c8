// The console window through the Qt binding, offscreen, with real widgets:
// geometry at start, the log pane's view, an operator click and a datagram.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "app/fBase.h"
#include "controls/Cp1251.h"
#include "controls/qt/QtLogView.h"
#include "controls/qt/QtWindowSystem.h"
#include "packet/Util.h"
#include "packet/uThread.h"
#include "tests/net/NetTestSupport.h"
#include "tests/serial/PtyLine.h"

namespace {

int g_argc = 1;
char g_name[] = "test_app";
char* g_argv[] = {g_name, nullptr};

bool PumpUntil(const std::function<bool()>& cond, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class QtConsole : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ws = new TQtWindowSystem(g_argc, g_argv); }
  static void TearDownTestSuite() {
    delete ws;
    ws = nullptr;
  }
  void SetUp() override {
    SetWindowSystem(ws);
    form = std::make_unique<TBaseform>(nullptr);
    form->Show();
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    SetWindowSystem(nullptr);
  }
  static QWidget* W(const TControl& c) { return TQtWindowSystem::WidgetOf(c); }
  TLogView* View() { return dynamic_cast<TLogView*>(W(*form->MemMess)); }

  static TQtWindowSystem* ws;
  std::unique_ptr<TBaseform> form;
};
TQtWindowSystem* QtConsole::ws = nullptr;

TEST_F(QtConsole, GeometryAtStartMatchesTheFormDescription) {
  struct Expect {
    TControl* control;
    QRect rect;
  };
  const Expect expected[] = {
      {form->GrBxCmdLn, QRect(214, 28, 415, 43)},
      {form->EdCmdLn, QRect(5, 14, 296, 23)},
      {form->BtTransmit, QRect(306, 15, 50, 22)},
      {form->BtnETX, QRect(360, 15, 50, 22)},
      {form->ButtonReset, QRect(220, 2, 90, 18)},
      {form->BtSet, QRect(164, 30, 60, 24)},
      {form->RButDirect, QRect(6, 15, 86, 17)},
      {form->ChBxActiv, QRect(18, 125, 75, 13)},
      {form->EdPort, QRect(123, 52, 37, 17)},
      {form->edtHost, QRect(123, 86, 87, 17)},
      {form->GrBxSet, QRect(0, 0, 209, 71)},
      {form->BtnClose, QRect(152, 43, 48, 28)},
      {form->sPanel, QRect(form->ClientWidth() - 3 - 238, 3, 238, form->ClientHeight() - 106)},
      {form->iPanel, QRect(3, form->ClientHeight() - 103, form->ClientWidth() - 6, 100)},
  };
  for (const Expect& e : expected) {
    ASSERT_NE(W(*e.control), nullptr) << e.control->Name();
    EXPECT_EQ(W(*e.control)->geometry(), e.rect) << e.control->Name();
  }
  QWidget* window = W(*form);
  EXPECT_EQ(window->size(), QSize(form->ClientWidth(), form->ClientHeight()));
  EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Конфигуратор TORIN5  ДОРМАКС "));
  EXPECT_FALSE(W(*form->GrBxSet)->isVisible());
  EXPECT_TRUE(W(*form->MemMess)->isVisible());
  // The memo fills its panel within the panel's inner border.
  EXPECT_EQ(W(*form->MemMess)->geometry(),
            QRect(5, 5, form->vPanel->Width() - 10, form->vPanel->Height() - 10));
}

TEST_F(QtConsole, LogViewShowsWindows1251AsCyrillicAndKeepsUpWithAppends) {
  std::string upper;
  for (int b = 0xC0; b <= 0xFF; ++b) upper.push_back(static_cast<char>(b));
  form->LogAppend(upper);
  ASSERT_TRUE(PumpUntil([&] { return !View()->HasPending(); }));
  View()->SelectAll();
  EXPECT_EQ(View()->SelectedText(),
            QString::fromUtf8("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя"));

  form->LogClear();
  const long long frames = View()->FrameCount();
  for (int i = 0; i < 20000; ++i) {
    form->LogAppend("line " + std::to_string(i));
    form->LogNewLine();
  }
  ASSERT_TRUE(PumpUntil([&] { return !View()->HasPending(); }));
  QString expected = QString::fromUtf8(Cp1251ToUtf8(form->LogText()));
  expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  View()->SelectAll();
  EXPECT_EQ(View()->SelectedText(), expected);
  // The view follows the tail: the last row on screen is the empty line
  // after "line 19999".
  const auto rows = View()->Layout().VisibleRows(View()->Layout().Rows());
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[rows.size() - 2].Bytes, "line 19999");
  EXPECT_TRUE(rows.back().Bytes.empty());
  // Far fewer frames than appends took the text in.
  EXPECT_LT(View()->FrameCount() - frames, 1000);
}

TEST_F(QtConsole, OperatorClickOnSettingsShowsTheGroupAndFocusesTheCommandLine) {
  QTest::mouseClick(W(*form->BtSet), Qt::LeftButton);
  EXPECT_TRUE(form->GrBxSet->Visible());
  EXPECT_TRUE(W(*form->GrBxSet)->isVisible());
  EXPECT_EQ(form->ActiveControl(), form->EdCmdLn);
  QTest::mouseClick(W(*form->BtSet), Qt::LeftButton);
  EXPECT_FALSE(W(*form->GrBxSet)->isVisible());
}

TEST_F(QtConsole, DatagramReachesTheViewAndIsAnswered) {
  nettest::UdpPeer peer;
  const int port = nettest::FreePort();
  form->EdPort->SetText(std::to_string(port));
  QTest::mouseClick(W(*form->ChBxActiv), Qt::LeftButton);
  ASSERT_TRUE(form->ChBxActiv->Checked());
  ASSERT_TRUE(form->UDPServer->Active());
  ASSERT_TRUE(peer.SendTo(port, "hello\r\n"));
  std::optional<nettest::Datagram> answer;
  ASSERT_TRUE(PumpUntil([&] { return (answer = peer.Receive(0)).has_value(); }));
  EXPECT_EQ(answer->data, "\n");
  ASSERT_TRUE(PumpUntil([&] { return !View()->HasPending(); }));
  View()->SelectAll();
  EXPECT_EQ(View()->SelectedText(), QStringLiteral("hello\n"));
  EXPECT_EQ(form->edtPort->Text(), std::to_string(peer.port()));
}

// The operator types into "Порт" and ticks "Активация" with the mouse: a
// port that cannot be read is told in a message box and the box goes back;
// the port typed next is the one that listens, and no other.
TEST_F(QtConsole, OperatorReadsAFailedActivationAndTheTypedPortListens) {
  QStringList shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown << box->text();
      box->accept();
    }
  });
  closer.start(10);
  auto* port_box = static_cast<QLineEdit*>(W(*form->EdPort));
  auto* active_box = static_cast<QAbstractButton*>(W(*form->ChBxActiv));
  auto type_port = [&](const QString& text) {
    port_box->selectAll();
    QTest::keyClicks(port_box, text);
  };
  type_port(QStringLiteral("50x00"));
  QTest::mouseClick(active_box, Qt::LeftButton);
  EXPECT_EQ(shown, QStringList{QStringLiteral("'50x00' is not a valid integer value")});
  EXPECT_FALSE(active_box->isChecked());
  EXPECT_FALSE(form->UDPServer->Active());

  const int base = nettest::FreePortRange(2);
  ASSERT_GT(base, 0);
  type_port(QString::number(base));
  QTest::mouseClick(active_box, Qt::LeftButton);
  ASSERT_TRUE(active_box->isChecked());
  EXPECT_FALSE(nettest::PortIsFree(base));
  QTest::mouseClick(active_box, Qt::LeftButton);
  type_port(QString::number(base + 1));
  QTest::mouseClick(active_box, Qt::LeftButton);
  ASSERT_TRUE(active_box->isChecked());
  EXPECT_TRUE(nettest::PortIsFree(base));
  EXPECT_FALSE(nettest::PortIsFree(base + 1));
  nettest::UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(base + 1, "x"));
  std::optional<nettest::Datagram> answer;
  ASSERT_TRUE(PumpUntil([&] { return (answer = peer.Receive(0)).has_value(); }));
  EXPECT_EQ(answer->port, base + 1);
  EXPECT_EQ(shown.size(), 1);
}

TEST_F(QtConsole, OperatorOpensThePortTypesAPlusAndARequestIsAnswered) {
  PtyLine line;
  ::fcntl(line.Master(), F_SETFL, O_NONBLOCK);
  std::string device;
  auto gather = [&](std::size_t n) {
    return PumpUntil([&] {
      char buf[256];
      const long got = ::read(line.Master(), buf, sizeof buf);
      if (got > 0) device.append(buf, static_cast<std::size_t>(got));
      return device.size() >= n;
    });
  };
  QTest::mouseClick(W(*form->BtSet), Qt::LeftButton);
  QTest::mouseClick(W(*form->BtnOpen), Qt::LeftButton);
  ASSERT_TRUE(form->VaComm->IsOpen());
  EXPECT_EQ(form->StatusBar->PanelText(6), " Com-порт 1 [активен]");
  EXPECT_TRUE(W(*form->EdCmdLn)->hasFocus());

  QTest::keyClick(W(*form->EdCmdLn), Qt::Key_Plus);
  ASSERT_TRUE(gather(1));
  EXPECT_EQ(device, "+");
  EXPECT_EQ(static_cast<QLineEdit*>(W(*form->EdCmdLn))->text(), QStringLiteral("+"));

  device.clear();
  QTest::mouseClick(W(*form->ChBxTreat), Qt::LeftButton);
  QTest::mouseClick(W(*form->RButPack), Qt::LeftButton);
  ASSERT_TRUE(form->ChBxTreat->Checked());
  ASSERT_EQ(form->RButPack->Tag(), 1);
  ASSERT_TRUE(form->VaComm->IsOpen());
  ASSERT_TRUE(PumpUntil([] { return RxParsePos == RxAccumulatorCount; }));
  const std::string request("\x1E\x02\x05\x01\xC3", 5);
  ASSERT_EQ(::write(line.Master(), request.data(), request.size()), 5);
  ASSERT_TRUE(gather(5));
  EXPECT_EQ(device, request);
  EXPECT_NE(form->LogText().find("Rx- 1E 02 05 01 C3 \r\n"), std::string::npos);

  // 300 requests in one write, more than the receive ring holds: every one
  // is answered, once, in order.
  std::string burst, answers;
  for (int i = 0; i < 300; ++i) {
    const char id = static_cast<char>(i), kind = static_cast<char>(1 + i % 2);
    burst += BuildFrame(std::string{id, kind, '\x77'});
    answers += BuildFrame(std::string{id, kind});
  }
  device.clear();
  ASSERT_EQ(::write(line.Master(), burst.data(), burst.size()), static_cast<long>(burst.size()));
  ASSERT_TRUE(gather(answers.size()));
  PumpUntil(
      [&] {
        char buf[64];
        const long got = ::read(line.Master(), buf, sizeof buf);
        if (got > 0) device.append(buf, static_cast<std::size_t>(got));
        return false;
      },
      50);
  EXPECT_EQ(device, answers) << "nothing else follows";
  // Closed while the device is still there: a vanished device would be
  // reported in a message box.
  QTest::mouseClick(W(*form->BtnClose), Qt::LeftButton);
  EXPECT_FALSE(form->VaComm->IsOpen());
}

}  // namespace

TEST_F(QtConsole, OperatorRecallsTheLinesSentWithUpAndDown) {
  auto* edit = static_cast<QLineEdit*>(W(*form->EdCmdLn));
  edit->setFocus();
  for (const char* line : {"ver", "stat 2"}) {
    edit->clear();
    QTest::keyClicks(edit, QString::fromUtf8(line));
    QTest::keyClick(edit, Qt::Key_Return);  // the port is closed: its write error is logged
  }
  QTest::keyClicks(edit, QStringLiteral("x"));  // "stat 2x", being typed
  const struct {
    Qt::Key key;
    const char* shown;
  } steps[] = {{Qt::Key_Up, "stat 2"},
               {Qt::Key_Up, "ver"},
               {Qt::Key_Down, "stat 2"},
               {Qt::Key_Down, "stat 2x"}};
  for (const auto& s : steps) {
    QTest::keyClick(edit, s.key);
    EXPECT_EQ(edit->text(), QString::fromUtf8(s.shown));
    EXPECT_EQ(edit->cursorPosition(), edit->text().size()) << s.shown;
  }
}

TEST_F(QtConsole, OperatorFindsAndSavesFromTheCommandLineAndEscGivesItBackTheFocus) {
  std::string line;
  for (int i = 0; i < 20000; ++i) line += "Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F 60 71 82 93 A4 B5 ";
  for (int i = 0; i < 20; ++i) form->LogAddLine(line);  // about 20 MB
  form->LogAddLine("stat OK");
  QWidget* edit = W(*form->EdCmdLn);
  edit->window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(edit->window()));
  edit->setFocus();

  QTest::keyClick(edit, Qt::Key_F, Qt::ControlModifier);
  QLineEdit* field = View()->FindField();
  ASSERT_TRUE(field->hasFocus());
  QTest::keyClicks(field, QStringLiteral("STAT ok"));
  QTest::keyClick(field, Qt::Key_Return);
  ASSERT_TRUE(PumpUntil([&] { return !View()->Finding(); }, 30000));
  EXPECT_EQ(View()->SelectedText(), QStringLiteral("stat OK"));
  QTest::keyClick(field, Qt::Key_Escape);
  EXPECT_TRUE(edit->hasFocus());

  const std::string path = ::testing::TempDir() + "/t5-console-log.txt";
  View()->AskSavePath = [&] { return path; };
  const int last = form->StatusBar->PanelCount() - 1;
  QTest::keyClick(edit, Qt::Key_S, Qt::ControlModifier);
  ASSERT_TRUE(View()->Saving());
  EXPECT_EQ(form->StatusBar->PanelText(last).rfind("Сохранение ", 0), 0u);
  ASSERT_TRUE(PumpUntil([&] { return !View()->Saving(); }, 60000));
  EXPECT_EQ(form->StatusBar->PanelText(last), "");
  std::ifstream saved(path, std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<std::size_t>(saved.tellg()), form->LogSize());  // all of it ASCII
  std::remove(path.c_str());
}
