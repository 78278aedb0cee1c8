// Local date and time as the operator's locale writes them.
#pragma once

#include <ctime>
#include <string>

// The operator's short date, then one blank and the long time; the blank and
// the time are left out at midnight (hour, minute and second all 0). The text
// is Windows-1251; one the code page cannot hold, or one with a control
// character, gives way to the numeric form dd.mm.yyyy hh:mm:ss.
std::string DateTimeToText(const std::tm& LocalTime);
// The current local time as above.
std::string NowText();
