// Program entry on Windows: the application, its one window, the message loop.
#include <clocale>

#include "app/fBase.h"
#include "controls/win32/Win32WindowSystem.h"

int main() {
  // The date and time stamps follow the operator's locale.
  std::setlocale(LC_TIME, "");
  TWin32WindowSystem windows;
  SetWindowSystem(&windows);
  {
    TBaseform form(nullptr);
    windows.Run(form);
  }
  SetWindowSystem(nullptr);
  return 0;
}
