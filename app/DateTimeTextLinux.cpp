#include "app/DateTimeTextLinux.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <clocale>

namespace {

std::string FormatTime(const char* format, const std::tm& t) {
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &t);
  return std::string(buf, n);
}

bool AtMidnight(const std::tm& t) {
  return t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0;
}

// Printable in the pane: no control character, and not the one byte the
// code page leaves unassigned.
bool PrintableCp1251(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || b == 0x98) return false;
  }
  return true;
}

bool IsCp1251(std::string_view codeset) {
  const std::string name(codeset);
  return strcasecmp(name.c_str(), "CP1251") == 0 || strcasecmp(name.c_str(), "WINDOWS-1251") == 0;
}

}  // namespace

std::optional<std::string> LocaleTextToCp1251(std::string_view Text, std::string_view Codeset) {
  std::string out;
  if (IsCp1251(Codeset)) {
    out.assign(Text);
  } else {
    const iconv_t cd = iconv_open("CP1251", std::string(Codeset).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string in(Text);
    out.resize(in.size() * 4 + 4);
    char* src = in.data();
    std::size_t src_left = in.size();
    char* dst = out.data();
    std::size_t dst_left = out.size();
    // Without //TRANSLIT a character the code page lacks fails the call.
    const bool converted = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1) &&
                           iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!converted || src_left != 0) return std::nullopt;
    out.resize(out.size() - dst_left);
  }
  if (!PrintableCp1251(out)) return std::nullopt;
  return out;
}

std::string TimeLocaleCodeset() {
  // Asked once per locale name: the stamp is written on the main thread only.
  static std::string cached_name, cached_codeset;
  const char* current = std::setlocale(LC_TIME, nullptr);
  const std::string name = current ? current : "C";
  if (name != cached_name || cached_codeset.empty()) {
    // CODESET belongs to the character-type category: build a locale whose
    // character type is the time locale.
    const locale_t loc = newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
    cached_codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    cached_name = name;
  }
  return cached_codeset;
}

std::string DateTimeToText(const std::tm& LocalTime, std::string_view Codeset) {
  std::string text = FormatTime(nl_langinfo(D_FMT), LocalTime);
  if (!AtMidnight(LocalTime)) {
    text += ' ';
    text += FormatTime(nl_langinfo(T_FMT), LocalTime);
  }
  if (auto converted = LocaleTextToCp1251(text, Codeset)) return *converted;
  return FormatTime(AtMidnight(LocalTime) ? "%d.%m.%Y" : "%d.%m.%Y %H:%M:%S", LocalTime);
}

std::string DateTimeToText(const std::tm& LocalTime) {
  return DateTimeToText(LocalTime, TimeLocaleCodeset());
}

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return DateTimeToText(local);
}
