#include <iconv.h>

#include "tests/controls/SystemCp1251.h"

std::string SystemCp1251ToUtf8(unsigned char byte) {
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  char in[1] = {static_cast<char>(byte)};
  char out[8] = {};
  char* pin = in;
  char* pout = out;
  size_t inleft = 1, outleft = sizeof out;
  const size_t r = iconv(cd, &pin, &inleft, &pout, &outleft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return {};
  return std::string(out, pout);
}
