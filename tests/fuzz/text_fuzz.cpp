// The parsers of typed text: the strict decimal conversion against a plain
// model of its rule, CutToken's pieces against the text they came from, and
// a dotted quad against the address it converts to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/IdStack.h"
#include "runtime/Exception.h"

namespace {

// Blanks or tabs, an optional sign, one or more digits, nothing else, and
// the value within 32 bits.
bool ModelInt(const std::string& s, long long& value) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 1LL << 32) return false;
  }
  value = negative ? -v : v;
  return value >= INT32_MIN && value <= INT32_MAX;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  long long model = 0;
  const bool model_ok = ModelInt(text, model);
  int value = 0;
  if (TryStrToInt(text, value) != model_ok) std::abort();
  if (model_ok && value != model) std::abort();
  try {
    if (StrToInt(text) != value || !model_ok) std::abort();
  } catch (const EConvertError&) {
    if (model_ok) std::abort();
  }

  // The first byte picks a delimiter of one or two bytes from the text.
  if (size >= 2) {
    const std::string delimiter = text.substr(1, 1 + data[0] % 2);
    std::string rest = text.substr(1 + delimiter.size());
    const std::string whole = rest;
    const std::string token = CutToken(rest, delimiter);
    const std::size_t at = whole.find(delimiter);
    if (at == std::string::npos) {
      if (token != whole || !rest.empty()) std::abort();
    } else if (token + delimiter + rest != whole || token.find(delimiter) != std::string::npos) {
      std::abort();
    }
  }

  static TIdStack* stack = TIdStack::MakeStack();
  if (stack->IsDottedQuad(text)) {
    const TIdIn4Addr address = stack->ParseAddress(text);
    // Back to text and parsed again, the address is the same.
    if (stack->ParseAddress(stack->AddressToText(address)) != address) std::abort();
    if (!stack->IsDottedQuad(stack->AddressToText(address))) std::abort();
  }
  return 0;
}
