// Windows-1251, the single-byte code page of every text the operator sees,
// to and from Unicode.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The UTF-16 code unit of one Windows-1251 byte. The one byte the code page
// leaves unassigned (0x98) maps to U+0098, so every byte survives a round
// trip.
char16_t Cp1251Char(unsigned char Byte);
// The character a log view paints for a byte of 0x20 or more: its own,
// except for the three whose characters fonts draw with no width (DEL, the
// unassigned 0x98, the soft hyphen), which get visible stand-ins, so every
// byte is drawn as wide as it is measured.
char16_t Cp1251Glyph(unsigned char Byte);

std::string Cp1251ToUtf8(std::string_view Cp1251);
// The UTF-8 of Windows-1251 bytes written at Out, which has room for three
// bytes a byte; with LineFeeds CR LF becomes LF. Returns the bytes written.
// A copy of the log and a saved log are both made with it.
std::size_t Cp1251ToUtf8At(char* Out, std::string_view Cp1251, bool LineFeeds);
// Characters the code page cannot hold, and malformed UTF-8, become '?'.
std::string Utf8ToCp1251(std::string_view Utf8);
// The byte of one Unicode code point, or '?' when the code page has none.
char UnicodeToCp1251(char32_t CodePoint);
