// The system's own converter, the reference for the program's table.
#pragma once

#include <string>

// UTF-8 of one Windows-1251 byte, empty when the code page leaves it
// unassigned.
std::string SystemCp1251ToUtf8(unsigned char byte);
