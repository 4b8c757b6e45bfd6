// The text of "UpdateLastRun": written as the shortest plain decimal that
// reads back as the same double, read as strtod reads it in the C locale.
#include "update/last_run_text.h"

#include <charconv>
#include <cmath>

#include "platform/text.h"

namespace quarn::update {

std::string formatUpdateLastRun(double secondsSince1970) {
  if (!std::isfinite(secondsSince1970)) {
    // Clocks give finite values; keep the writer total anyway with texts the
    // reader accepts.
    if (std::isnan(secondsSince1970)) return "nan";
    return secondsSince1970 > 0 ? "inf" : "-inf";
  }
  // Fixed notation without a precision is the shortest text that round-trips.
  char buffer[400];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, secondsSince1970, std::chars_format::fixed);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::optional<double> parseUpdateLastRun(std::string_view text) {
  return platform::parseCLocaleDouble(text);
}

}  // namespace quarn::update
