// Started by startup_bench: shows the console's window (or, as the baseline,
// a plain Qt window with one label) offscreen, and prints the milliseconds
// from the bench's fork (T5_T0_NS, CLOCK_MONOTONIC) to the window shown.
#include <time.h>

#include <QApplication>
#include <QLabel>
#include <QWindow>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/fBase.h"
#include "controls/qt/QtWindowSystem.h"

namespace {

double MsSince(const char* t0) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  return static_cast<double>(ns - std::atoll(t0)) / 1e6;
}

void WaitExposed(QWidget* w) {
  while (!w->windowHandle() || !w->windowHandle()->isExposed()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
  const char* t0 = std::getenv("T5_T0_NS");
  if (argc != 2 || !t0) {
    std::fprintf(stderr, "usage: T5_T0_NS=... %s console|baseline\n", argv[0]);
    return 2;
  }
  int qt_argc = 1;
  if (std::strcmp(argv[1], "baseline") == 0) {
    QApplication app(qt_argc, argv);
    QLabel label("Конфигуратор TORIN5");
    label.resize(640, 480);
    label.show();
    WaitExposed(&label);
    std::printf("%.3f\n", MsSince(t0));
    return 0;
  }
  // As the program's entry does it.
  std::setlocale(LC_TIME, "");
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  {
    TBaseform form(nullptr);
    form.Show();
    WaitExposed(TQtWindowSystem::WidgetOf(form));
    std::printf("%.3f\n", MsSince(t0));
    std::fflush(stdout);
  }
  SetWindowSystem(nullptr);
  return 0;
}
