// Strict UTF-8 validation, whole or in pieces, and number parsing that does
// not depend on the process locale.
#include "platform/text.h"

#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace quarn::platform {

bool isValidUtf8(std::string_view bytes) {
  Utf8Validator validator;
  validator.append(bytes);
  return validator.valid();
}

void Utf8Validator::append(std::string_view bytes) {
  for (const char c : bytes) {
    if (failed_) return;
    const auto byte = static_cast<unsigned char>(c);
    if (pending_ > 0) {
      if ((byte & 0xC0) != 0x80) {
        failed_ = true;
        return;
      }
      codePoint_ = (codePoint_ << 6) | (byte & 0x3F);
      if (--pending_ == 0) {
        failed_ = codePoint_ < minimum_ || codePoint_ > 0x10FFFF ||
                  (codePoint_ >= 0xD800 && codePoint_ <= 0xDFFF);
      }
    } else if (byte < 0x80) {
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      pending_ = 1, minimum_ = 0x80, codePoint_ = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      pending_ = 2, minimum_ = 0x800, codePoint_ = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      pending_ = 3, minimum_ = 0x10000, codePoint_ = byte & 0x07;
    } else {
      failed_ = true;
    }
  }
}

std::optional<double> parseCLocaleDouble(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;
    default:
      break;
  }
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (cLocale == static_cast<locale_t>(0)) return std::nullopt;
  const std::string copy(text);  // strtod needs a terminator; an embedded NUL is left over
  char* end = nullptr;
  const double value = strtod_l(copy.c_str(), &end, cLocale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

}  // namespace quarn::platform
