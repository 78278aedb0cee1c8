// Local date and time as the operator's locale writes them.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The short date, then one blank and the long time; the blank and the time
// are left out at midnight (hour, minute and second all 0). Windows-1251:
// what the time locale writes is converted from Codeset, and a text the code
// page cannot hold gives way to the numeric form dd.mm.yyyy hh:mm:ss.
std::string DateTimeToText(const std::tm& LocalTime, std::string_view Codeset);
// As above, in the code set of the time locale in force.
std::string DateTimeToText(const std::tm& LocalTime);
// The current local time as above.
std::string NowText();

// The code set that the time locale (LC_TIME, which need not agree with
// LC_CTYPE) writes its names in.
std::string TimeLocaleCodeset();
// Text in Codeset as printable Windows-1251, or nothing when any of it is
// malformed, has no place in the code page or is a control character.
std::optional<std::string> LocaleTextToCp1251(std::string_view Text, std::string_view Codeset);
