// Renders the console in use into a PNG without a display (Qt offscreen): a
// scripted session against torin5-devsim with a text device on COM1, a
// packet device on COM2 and the UDP peer.
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <functional>
#include <string>

#include "app/fBase.h"
#include "controls/qt/QtWindowSystem.h"
#include "tools/devsim/DevsimProcess.h"

namespace {

bool PumpUntil(const std::function<bool()>& cond, int ms) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}
void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// A UDP port nobody holds right now.
int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t n = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  std::setlocale(LC_TIME, "");
  char dir[] = "/tmp/torin5-shot-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  ::setenv("TORIN5_PORTS", dir, 1);
  const int port = FreeUdpPort();
  DevsimProcess text(T5_DEVSIM_PATH,
                     {"--ports", dir, "--com", "1", "--udp", "127.0.0.1:" + std::to_string(port)});
  DevsimProcess packets(T5_DEVSIM_PATH, {"--ports", dir, "--com", "2", "--packets", "--rate", "8"});

  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  QTimer tick;  // the loop looks at the script's conditions at least this often
  tick.start(10);
  bool ok = false;
  {
    TBaseform form(nullptr);
    form.Show();
    const std::string d = dir;
    PumpUntil(
        [&] {
          return ::access((d + "/COM1").c_str(), F_OK) == 0 &&
                 ::access((d + "/COM2").c_str(), F_OK) == 0;
        },
        5000);
    form.BtSet->OperatorClick();
    form.BtnOpen->OperatorClick();
    form.EdCmdLn->OperatorType("hello");
    form.EdCmdLn->OperatorKey('\r');
    PumpUntil([&] { return form.LogText().find("STATUS") != std::string::npos; }, 4000);
    form.EdPort->SetText(std::to_string(port));
    form.ChBxActiv->OperatorClick();
    PumpUntil([&] { return form.LogText().find("SSI") != std::string::npos; }, 4000);
    PumpFor(600);
    form.ComboPortNum->OperatorSelect(1);
    form.ChBxTreat->OperatorClick();
    form.RButPack->OperatorClick();
    PumpFor(1200);
    for (int i = 0; i < 5; ++i) windows.ProcessMessages();
    ok = windows.Grab(form, argv[1]);
    // The port closes before the devices go away.
    form.BtnClose->OperatorClick();
    form.ChBxActiv->OperatorClick();
  }
  SetWindowSystem(nullptr);
  text.Terminate();
  packets.Terminate();
  while (!text.Exited() || !packets.Exited()) ::usleep(10000);
  ::rmdir(dir);
  if (!ok) std::fprintf(stderr, "could not write %s\n", argv[1]);
  return ok ? 0 : 1;
}
