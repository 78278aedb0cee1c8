// Kept apart: <asm/termbits.h> and the C library's <termios.h> cannot meet.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "PtyLine.h"

unsigned LineSpeed(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

bool LineIsRaw(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  return !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
         !(t.c_iflag & (ICRNL | INLCR | IXON | IXOFF | IXANY | ISTRIP | INPCK)) &&
         (t.c_cflag & CLOCAL);
}
