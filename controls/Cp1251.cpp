#include "controls/Cp1251.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// Bytes 0x80-0xFF; 0x00-0x7F are ASCII.
constexpr char16_t kHigh[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// (code point, byte) sorted by code point, for the way back.
const std::array<std::pair<char16_t, unsigned char>, 128>& Reverse() {
  static const auto table = [] {
    std::array<std::pair<char16_t, unsigned char>, 128> t{};
    for (int i = 0; i < 128; ++i) t[i] = {kHigh[i], static_cast<unsigned char>(0x80 + i)};
    std::sort(t.begin(), t.end());
    return t;
  }();
  return table;
}

void PutUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char16_t Cp1251Char(unsigned char Byte) {
  return Byte < 0x80 ? Byte : kHigh[Byte - 0x80];
}

char16_t Cp1251Glyph(unsigned char Byte) {
  switch (Byte) {
    case 0x7F:
      return u'\u2302';  // the house the old PC fonts drew for DEL
    case 0x98:
      return u'\u25A1';  // an empty square: no character
    case 0xAD:
      return u'-';
    default:
      return Cp1251Char(Byte);
  }
}

std::string Cp1251ToUtf8(std::string_view Cp1251) {
  std::string out;
  out.reserve(Cp1251.size() * 2);
  for (unsigned char b : Cp1251) PutUtf8(out, Cp1251Char(b));
  return out;
}

std::size_t Cp1251ToUtf8At(char* Out, std::string_view Cp1251, bool LineFeeds) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull, kOnes = 0x0101010101010101ull;
  const char* const in = Cp1251.data();
  const std::size_t n = Cp1251.size();
  char* p = Out;
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII (without a CR when line breaks change) go across eight
    // bytes at a time: most of a log is.
    std::size_t j = i;
    while (j + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, in + j, 8);
      const std::uint64_t cr = w ^ (0x0D * kOnes);
      if ((w & kHigh) || (LineFeeds && ((cr - kOnes) & ~cr & kHigh))) break;
      j += 8;
    }
    std::memcpy(p, in + i, j - i);
    p += j - i;
    i = j;
    if (i >= n) break;
    const auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      if (LineFeeds && b == '\r' && i + 1 < n && in[i + 1] == '\n') {
        *p++ = '\n';
        ++i;
      } else {
        *p++ = static_cast<char>(b);
      }
    } else {
      const char16_t c = Cp1251Char(b);
      if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    ++i;
  }
  return static_cast<std::size_t>(p - Out);
}

char UnicodeToCp1251(char32_t CodePoint) {
  if (CodePoint < 0x80) return static_cast<char>(CodePoint);
  if (CodePoint > 0xFFFF) return '?';
  const auto& t = Reverse();
  const auto it = std::lower_bound(
      t.begin(), t.end(), std::pair<char16_t, unsigned char>(static_cast<char16_t>(CodePoint), 0));
  if (it != t.end() && it->first == CodePoint) return static_cast<char>(it->second);
  return '?';
}

std::string Utf8ToCp1251(std::string_view Utf8) {
  std::string out;
  out.reserve(Utf8.size());
  std::size_t i = 0;
  const std::size_t n = Utf8.size();
  while (i < n) {
    const unsigned char b = static_cast<unsigned char>(Utf8[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int len = 0;
    char32_t c = 0;
    if ((b & 0xE0) == 0xC0) {
      len = 2;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      c = b & 0x07;
    }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      const unsigned char cb = static_cast<unsigned char>(Utf8[i + k]);
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    // Overlong forms and surrogates are malformed too.
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (!ok) {
      out += '?';
      ++i;  // resynchronise on the next byte
      continue;
    }
    out += UnicodeToCp1251(c);
    i += len;
  }
  return out;
}
