// Texts between the program and the wide-character window functions. The
// program's captions are UTF-8; the log pane and typed keys are
// Windows-1251. Windows of any language shows both right only through the
// UTF-16 functions, so every text goes through here.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to UTF-16; text that is not UTF-8 is read as Windows-1251, so a
// message in the console's own code page still reads right.
std::wstring ToWide(std::string_view Text);
std::string FromWide(std::wstring_view Text);
// Windows-1251 bytes as they are painted: control bytes take no room, the
// bytes fonts draw with no width have visible stand-ins.
std::wstring PaintedCp1251(std::string_view Bytes);
// Windows-1251 as the operator copies it: line breaks stay CR LF, a NUL
// (which would end the clipboard's text) is left out.
std::wstring CopiedCp1251(std::string_view Bytes);
