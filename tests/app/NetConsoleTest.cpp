// The window's network side against real loopback datagrams, on the headless
// window system: what is shown, what goes into the remote boxes, the answer.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/DateTimeText.h"
#include "app/fBase.h"
#include "controls/Headless.h"
#include "net/IdStack.h"
#include "tests/app/ConsoleFixture.h"
#include "tests/net/NetTestSupport.h"

namespace {

std::string StampAt(std::time_t t) {
  return DateTimeToText(*std::localtime(&t));  // the tests' one thread asks
}

// What reaches a console's OnUDPRead, recorded once its own handler has run.
struct Deliveries {
  std::vector<std::string> data;
  void Attach(TBaseform& form) {
    form.UDPServer->OnUDPRead = [this, inner = form.UDPServer->OnUDPRead](
                                    TObject* s, TMemoryStream& d, TIdSocketHandle& b) {
      const std::string bytes(reinterpret_cast<const char*>(d.Memory()),
                              static_cast<std::size_t>(d.Size()));
      try {
        inner(s, d, b);
      } catch (...) {
        data.push_back(bytes);
        throw;
      }
      data.push_back(bytes);
    };
  }
};

class NetConsole : public Console {
 protected:
  // Sends data to the console and waits for its LF answer.
  void Exchange(const std::string& data) {
    ASSERT_TRUE(peer.SendTo(port, data));
    std::optional<nettest::Datagram> answer;
    ws.RunUntil([&] { return (answer = peer.Receive(0)).has_value(); }, 5000);
    ASSERT_TRUE(answer.has_value()) << "no answer";
    EXPECT_EQ(answer->data, "\n");
    EXPECT_EQ(answer->port, port) << "the answer leaves from the server's port";
  }
  nettest::UdpPeer peer;
  int port = 0;
};

TEST_F(NetConsole, StartStateOfTheNetworkSide) {
  EXPECT_EQ(form->LHostName->Caption(), "Имя ПК:" + nettest::sys::HostName());
  EXPECT_EQ(form->LHostAddress->Caption(), "Мой IP:" + GlobalStack->FirstLocalAddress());
  EXPECT_EQ(form->EdPort->Text(), "50000");
  EXPECT_EQ(form->LBufferSize->Caption(), "Объем буфера:  8192");
  EXPECT_FALSE(form->UDPServer->Active());
  EXPECT_EQ(form->UDPServer->DefaultPort(), 50000);
}

TEST_F(NetConsole, DatagramIsShownItsSenderTakenAndAnsweredWithLf) {
  port = ActivateUdp();
  Exchange("hello\r\n");
  EXPECT_EQ(form->LogText(), "hello\r\n");
  EXPECT_EQ(form->edtHost->Text(), "127.0.0.1");
  EXPECT_EQ(form->edtPort->Text(), std::to_string(peer.port()));
}

TEST_F(NetConsole, SsiLineGetsTheDateAndTimeOnTheNewLine) {
  port = ActivateUdp();
  const std::time_t before = std::time(nullptr);
  Exchange("ssi test\r");
  const std::time_t after = std::time(nullptr);
  const std::string& text = form->LogText();
  ASSERT_EQ(text.rfind("ssi test\r\n", 0), 0u) << text;
  bool matched = false;
  for (std::time_t t = before; t <= after && !matched; ++t) {
    matched = text == "ssi test\r\n" + StampAt(t) + " ";
  }
  EXPECT_TRUE(matched) << text;

  // Two line breaks, two stamps, each at the start of its new line; no line
  // break, no stamp.
  form->LogClear();
  const std::time_t first = std::time(nullptr);
  Exchange("a SsI\rb\r");
  const std::time_t last = std::time(nullptr);
  const std::string& stamped = form->LogText();
  bool both = false;
  for (std::time_t t1 = first; t1 <= last && !both; ++t1) {
    for (std::time_t t2 = t1; t2 <= last && !both; ++t2) {
      both = stamped == "a SsI\r\n" + StampAt(t1) + " b\r\n" + StampAt(t2) + " ";
    }
  }
  EXPECT_TRUE(both) << stamped;
  form->LogClear();
  Exchange("SSI only");
  EXPECT_EQ(form->LogText(), "SSI only");
}

TEST_F(NetConsole, ALoneLineFeedIsShownButNotAnswered) {
  // Addressed to itself, the console gets its own line and then the LF that
  // answers it; the LF must not be answered again.
  port = ActivateUdp();
  Deliveries got;
  got.Attach(*form);
  form->edtHost->SetText("127.0.0.1");
  form->edtPort->SetText(std::to_string(port));
  form->EdCmdLn->SetText("me");
  form->BtnETX->OperatorClick();
  ws.RunUntil([&] { return got.data.size() >= 2; }, 5000);
  // Anything still bouncing would arrive before this datagram.
  ASSERT_TRUE(peer.SendTo(port, "end"));
  ws.RunUntil([&] { return !got.data.empty() && got.data.back() == "end"; }, 5000);
  EXPECT_EQ(got.data, (std::vector<std::string>{"me\r", "\n", "end"}));
  EXPECT_EQ(form->LogText(), "me\r\nend");
  const auto answer = peer.Receive(5000);
  ASSERT_TRUE(answer.has_value()) << "other datagrams are still answered";
  EXPECT_EQ(answer->data, "\n");
}

TEST_F(NetConsole, TwoConsolesExchangeOneLineAndOneLineFeed) {
  port = ActivateUdp();
  auto other = std::make_unique<TBaseform>(nullptr);
  other->Show();
  const int other_port = nettest::FreePort();
  other->EdPort->SetText(std::to_string(other_port));
  other->ChBxActiv->OperatorClick();
  ASSERT_TRUE(other->UDPServer->Active());
  Deliveries here, there;
  here.Attach(*form);
  there.Attach(*other);
  other->edtHost->SetText("127.0.0.1");
  other->edtPort->SetText(std::to_string(port));
  other->EdCmdLn->SetText("hello");
  other->BtnETX->OperatorClick();
  ws.RunUntil([&] { return !there.data.empty(); }, 5000);
  ASSERT_TRUE(peer.SendTo(port, "end"));
  ws.RunUntil([&] { return !here.data.empty() && here.data.back() == "end"; }, 5000);
  EXPECT_EQ(here.data, (std::vector<std::string>{"hello\r", "end"}));
  EXPECT_EQ(there.data, std::vector<std::string>{"\n"});
  EXPECT_EQ(other->LogText(), "");
  other.reset();
}

TEST_F(NetConsole, ZeroByteEndsTheDisplayButNotTheAnswer) {
  port = ActivateUdp();
  Exchange(std::string("xy\0zw\r", 6));
  EXPECT_EQ(form->LogText(), "xy");
  // The SSI test looks past the zero byte, but its CR is never reached.
  Exchange(std::string("q\0ssi\r", 6));
  EXPECT_EQ(form->LogText(), "xyq");
}

TEST_F(NetConsole, DatagramsWithoutCrContinueTheLineAndEmptyOnesShowNothing) {
  port = ActivateUdp();
  form->LogAddLine("first");  // an open line
  Exchange("ab");
  Exchange("cd");
  EXPECT_EQ(form->LogText(), "first\r\nabcd");
  form->edtHost->SetText("192.168.0.150");
  Exchange("");
  EXPECT_EQ(form->LogText(), "first\r\nabcd");
  EXPECT_EQ(form->edtHost->Text(), "127.0.0.1");
}

TEST_F(NetConsole, SendBeforeActivationActivatesOnThePortInItsBoxAndLeavesTheBoxAlone) {
  port = nettest::FreePort();
  form->EdPort->SetText(std::to_string(port));
  form->edtHost->SetText("127.0.0.1");
  form->edtPort->SetText(std::to_string(peer.port()));
  form->EdCmdLn->SetText("АТ+ver");  // Cyrillic goes out as Windows-1251
  form->BtnETX->OperatorClick();
  const auto line = peer.Receive(5000);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->data, "\xC0\xD2+ver\r");
  EXPECT_EQ(line->port, port);
  EXPECT_TRUE(form->UDPServer->Active());
  EXPECT_FALSE(form->ChBxActiv->Checked());
  EXPECT_EQ(form->EdCmdLn->Text(), "АТ+ver");
  EXPECT_EQ(form->LogText(), "");
  // From now on datagrams are shown and answered.
  Exchange("in\r");
  EXPECT_EQ(form->LogText(), "in\r\n");
  // Unticking after ticking deactivates whatever activated the server.
  form->ChBxActiv->OperatorClick();
  form->ChBxActiv->OperatorClick();
  EXPECT_FALSE(form->UDPServer->Active());
}

// The operator's own actions show what failed, in the message box the serial
// errors use. Each case starts after an activation on another port, so that
// nothing the earlier activation bound can stand in for the one that failed.
TEST_F(NetConsole, FailedNetworkActionsAreShownAndAFailedActivationUnticksTheBox) {
  nettest::UdpPeer holder;
  const int earlier = nettest::FreePort();
  enum Action { kTick, kSend };
  enum Before { kIdle, kListening };  // earlier activation ended / still on
  struct Case {
    const char* name;
    Before before;
    Action action;
    std::string local_port, remote_host, remote_port;
    std::string message;
  };
  const std::string peer_port = std::to_string(peer.port());
  const Case cases[] = {
      {"letters in the local port", kIdle, kTick, "50x00", "127.0.0.1", peer_port,
       "'50x00' is not a valid integer value"},
      {"a local port another program holds", kIdle, kTick, std::to_string(holder.port()),
       "127.0.0.1", peer_port, "Could not bind socket. Address and port are already in use."},
      {"a local port beyond 65535", kIdle, kTick, "99999", "127.0.0.1", peer_port,
       "Ошибка сокета # 10022\r\nНедействительным аргумент."},
      {"a send that activates, with letters in the local port", kIdle, kSend, "50x00", "127.0.0.1",
       peer_port, "'50x00' is not a valid integer value"},
      {"letters in the remote port, nothing activated", kIdle, kSend, "", "127.0.0.1", "port",
       "'port' is not a valid integer value"},
      {"letters in the remote port", kListening, kSend, "", "127.0.0.1", "port",
       "'port' is not a valid integer value"},
      {"a remote port beyond 65535", kListening, kSend, "", "127.0.0.1", "99999",
       "Ошибка сокета # 10022\r\nНедействительным аргумент."},
      {"an address the socket may not send to", kListening, kSend, "", "255.255.255.255", peer_port,
       "Ошибка сокета # 10013\r\nДоступ разрешен"},
  };
  form->EdCmdLn->SetText("ping");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form->EdPort->SetText(std::to_string(earlier));
    form->ChBxActiv->OperatorClick();
    ASSERT_TRUE(form->UDPServer->Active());
    if (c.before == kIdle) form->ChBxActiv->OperatorClick();
    ASSERT_EQ(form->UDPServer->Active(), c.before == kListening);
    if (!c.local_port.empty()) form->EdPort->SetText(c.local_port);
    form->edtHost->SetText(c.remote_host);
    form->edtPort->SetText(c.remote_port);
    ws.ClearMessages();

    if (c.action == kTick) {
      form->ChBxActiv->OperatorClick();
    } else {
      form->BtnETX->OperatorClick();
    }
    EXPECT_EQ(ws.Messages(), std::vector<std::string>{c.message});
    // The box tells whether the server listens, and on the earlier port only
    // when the failure did not concern an activation.
    EXPECT_EQ(form->ChBxActiv->Checked(), c.before == kListening);
    EXPECT_EQ(form->UDPServer->Active(), c.before == kListening);
    EXPECT_EQ(nettest::PortIsFree(earlier), c.before == kIdle);
    EXPECT_FALSE(peer.Receive(0).has_value()) << "nothing was sent";

    if (form->ChBxActiv->Checked()) form->ChBxActiv->OperatorClick();
    ASSERT_FALSE(form->UDPServer->Active());
  }
  // Failures are told once, where they happened: the next action works.
  ws.ClearMessages();
  port = ActivateUdp();
  Exchange("after\r");
  EXPECT_TRUE(ws.Messages().empty());
}

// "Порт" says where the console listens: every activation, by the box or by
// a send, binds that port afresh and nothing else stays bound.
TEST_F(NetConsole, EachActivationListensOnThePortInThePortBoxOnly) {
  const int base = nettest::FreePortRange(3);
  ASSERT_GT(base, 0);
  const int ports[] = {base, base + 1, base + 2};
  form->edtHost->SetText("127.0.0.1");
  form->edtPort->SetText(std::to_string(peer.port()));
  form->EdCmdLn->SetText("cmd");
  enum Action { kTick, kSend };
  struct Step {
    const char* name;
    bool untick_first;
    int port_box;  // the port typed into "Порт", an index into ports
    Action action;
    int listening;  // index into ports
    bool ticked;
  };
  const Step steps[] = {
      {"ticked", false, 0, kTick, 0, true},
      {"unticked, another port typed, ticked again", true, 1, kTick, 1, true},
      {"unticked, another port typed, a send activates", true, 2, kSend, 2, false},
      {"ticked while a send's activation listens on another port", false, 1, kTick, 1, true},
      {"a send on the active server keeps its port", false, 0, kSend, 1, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.untick_first) form->ChBxActiv->OperatorClick();
    form->EdPort->SetText(std::to_string(ports[s.port_box]));
    switch (s.action) {
      case kTick:
        form->ChBxActiv->OperatorClick();
        break;
      case kSend: {
        form->BtnETX->OperatorClick();
        const auto line = peer.Receive(5000);
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(line->data, "cmd\r");
        EXPECT_EQ(line->port, ports[s.listening]) << "the send leaves from the listening port";
        break;
      }
    }
    EXPECT_TRUE(ws.Messages().empty());
    EXPECT_EQ(form->ChBxActiv->Checked(), s.ticked);
    ASSERT_TRUE(form->UDPServer->Active());
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(nettest::PortIsFree(ports[i]), i != s.listening) << "port " << ports[i];
    }
    port = ports[s.listening];
    Exchange("x");
  }
}

// Stacks of hosts that cannot tell their own address.
enum OddHost { kUnknownName, kNameWithoutAddress, kNoName, kCyrillicName };

template <OddHost Host>
TIdStack* NewOddHostStack() {
  struct Stack : TPlatformStack {
    std::string LocalHostName() override {
      if (Host == kNoName) return std::string();
      // In the system's single-byte code page, as a Windows host gives it.
      if (Host == kCyrillicName) return "\xCF\xCA-1";
      return TPlatformStack::LocalHostName();
    }
    void FillLocalAddresses() override {
      LocalAddressList().Clear();
      if (Host != kNameWithoutAddress) RaiseSocketErrorCode(Id_WSAHOST_NOT_FOUND);
    }
  };
  return new Stack();
}

TEST(NetConsoleStart, AHostWhoseAddressCannotBeLookedUpStartsWithTheRestFilledIn) {
  struct Case {
    const char* name;
    TIdStackClass stack;
    std::string host_name;
  };
  const Case cases[] = {
      {"a name the resolver does not know", &NewOddHostStack<kUnknownName>,
       nettest::sys::HostName()},
      {"a name without an address", &NewOddHostStack<kNameWithoutAddress>,
       nettest::sys::HostName()},
      {"no name at all", &NewOddHostStack<kNoName>, ""},
      {"a Cyrillic name", &NewOddHostStack<kCyrillicName>, "ПК-1"},
  };
  const TIdStackClass saved = StackClass;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StackClass = c.stack;
    THeadlessWindowSystem ws;
    SetWindowSystem(&ws);
    auto form = std::make_unique<TBaseform>(nullptr);
    form->Show();
    EXPECT_EQ(form->LHostName->Caption(), "Имя ПК:" + c.host_name);
    EXPECT_EQ(form->LHostAddress->Caption(), "Мой IP:");
    EXPECT_EQ(form->EdPort->Text(), "50000");
    EXPECT_EQ(form->LBufferSize->Caption(), "Объем буфера:  8192");
    EXPECT_TRUE(ws.Messages().empty());
    // The port box works as on any host.
    form->EdPort->SetText(std::to_string(nettest::FreePort()));
    form->ChBxActiv->OperatorClick();
    EXPECT_TRUE(form->UDPServer->Active());
    EXPECT_TRUE(ws.Messages().empty());
    form.reset();
    SetWindowSystem(nullptr);
    StackClass = saved;
  }
}

// A stack on which no datagram reaches one port: there is no route to it.
std::atomic<int> g_unreachable_port{-1};
thread_local bool t_unreachable = false;

TIdStack* NewUnreachablePortStack() {
  struct Stack : TPlatformStack {
    int SendToAddress(TIdStackSocketHandle s, const void* buffer, int length, int flags,
                      const std::string& ip, int port) override {
      t_unreachable = port == g_unreachable_port.load();
      if (t_unreachable) return Id_SOCKET_ERROR;
      return TPlatformStack::SendToAddress(s, buffer, length, flags, ip, port);
    }
    int LastPlatformError() override {
      return t_unreachable ? 10065 : TPlatformStack::LastPlatformError();
    }
  };
  return new Stack();
}

// The same failure is the operator's to read after "Сеть", and nobody's when
// it is the answer to a datagram: the datagram is shown all the same.
TEST(NetConsoleAnswer, AFailedAnswerStaysSilentWhereTheSameFailedSendIsShown) {
  const TIdStackClass saved = StackClass;
  StackClass = &NewUnreachablePortStack;
  {
    THeadlessWindowSystem ws;
    SetWindowSystem(&ws);
    auto form = std::make_unique<TBaseform>(nullptr);
    form->Show();
    nettest::UdpPeer peer;
    g_unreachable_port = peer.port();
    const int port = nettest::FreePort();
    form->EdPort->SetText(std::to_string(port));
    form->ChBxActiv->OperatorClick();
    ASSERT_TRUE(form->UDPServer->Active());

    ASSERT_TRUE(peer.SendTo(port, "in\r"));
    EXPECT_TRUE(ws.RunUntil([&] { return form->LogText() == "in\r\n"; }, 5000));
    EXPECT_EQ(form->edtPort->Text(), std::to_string(peer.port()));
    EXPECT_TRUE(ws.Messages().empty());

    form->EdCmdLn->SetText("out");
    form->BtnETX->OperatorClick();
    EXPECT_EQ(ws.Messages(),
              std::vector<std::string>{"Ошибка сокета # 10065\r\nНет маршрута к хост серверу"});
    EXPECT_FALSE(peer.Receive(0).has_value());
    form.reset();
    SetWindowSystem(nullptr);
  }
  g_unreachable_port = -1;
  StackClass = saved;
}

}  // namespace
