// Local date and time as the operator's locale writes them.
#pragma once

#include <ctime>
#include <string>

// The short date, then one blank and the long time; the blank and the time
// are left out at midnight (hour, minute and second all 0). Windows-1251.
std::string DateTimeToText(const std::tm& LocalTime);
// The current local time as above.
std::string NowText();
