// Program entry: the application, its one window, the message loop.
#include <QApplication>
#include <QIcon>
#include <clocale>

#include "app/fBase.h"
#include "controls/qt/QtWindowSystem.h"

int main() {
  // The date and time stamps follow the operator's locale.
  std::setlocale(LC_TIME, "");
  // The program reads no command line; the toolkit gets only a name.
  static char name[] = "torin5";
  static char* args[] = {name, nullptr};
  static int count = 1;
  TQtWindowSystem windows(count, args);
  QApplication::setWindowIcon(QIcon(":/torin5.svg"));
  SetWindowSystem(&windows);
  {
    TBaseform form(nullptr);
    windows.Run(form);
  }
  SetWindowSystem(nullptr);
  return 0;
}
