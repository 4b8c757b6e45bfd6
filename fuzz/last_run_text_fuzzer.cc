// Feeds arbitrary bytes to the reader of the stored "UpdateLastRun" text, which
// any process sharing the store may have written. Reading never crashes; a
// value that reads is written back as plain decimal (or the non-finite words)
// that reads again as the very same value. Inputs of eight bytes are also
// taken as the bits of a double, so the writer meets every kind of value.
#include <bit>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "update/last_run_text.h"

namespace {

// Writes `value`, reads it back and checks that the text is in the stored
// form and names the same value (any NaN for a NaN).
void checkRoundTrip(double value) {
  const std::string text = quarn::update::formatUpdateLastRun(value);
  if (std::isfinite(value) && (text.find_first_of("eEnN") != std::string::npos ||
                               text.find('.') == std::string::npos || text.ends_with('.'))) {
    std::abort();
  }
  const auto back = quarn::update::parseUpdateLastRun(text);
  if (!back) std::abort();
  if (std::isnan(value)
          ? !std::isnan(*back)
          : std::bit_cast<std::uint64_t>(*back) != std::bit_cast<std::uint64_t>(value)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto value = quarn::update::parseUpdateLastRun(text)) {
    // The reader takes the whole text or nothing: no leading white space, and
    // nothing after a NUL, which would end the text for a C reader.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) ||
        text.find('\0') != std::string_view::npos) {
      std::abort();
    }
    checkRoundTrip(*value);
  }
  if (size == sizeof(double)) {
    double bits = 0;
    std::memcpy(&bits, data, sizeof bits);
    checkRoundTrip(bits);
  }
  return 0;
}
