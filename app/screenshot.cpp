// Renders the console window as it looks at start into a PNG file, without a
// display (run with QT_QPA_PLATFORM=offscreen).
#include <clocale>
#include <cstdio>

#include "app/fBase.h"
#include "controls/qt/QtWindowSystem.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  std::setlocale(LC_TIME, "");
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  bool ok = false;
  {
    TBaseform form(nullptr);
    form.Show();
    for (int i = 0; i < 5; ++i) windows.ProcessMessages();
    ok = windows.Grab(form, argv[1]);
  }
  SetWindowSystem(nullptr);
  if (!ok) std::fprintf(stderr, "could not write %s\n", argv[1]);
  return ok ? 0 : 1;
}
