// How the Linux build finds the operator's date and time formats: the time
// locale (LC_TIME, set from the environment at start) and its code set.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "app/DateTimeText.h"

// As DateTimeToText(LocalTime), with the locale's text taken as Codeset.
std::string DateTimeToText(const std::tm& LocalTime, std::string_view Codeset);
// The code set that the time locale (LC_TIME, which need not agree with
// LC_CTYPE) writes its names in.
std::string TimeLocaleCodeset();
// Text in Codeset as printable Windows-1251, or nothing when any of it is
// malformed, has no place in the code page or is a control character.
std::optional<std::string> LocaleTextToCp1251(std::string_view Text, std::string_view Codeset);
