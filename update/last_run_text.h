// The text form of the "UpdateLastRun" shared item: seconds since 1970 as a
// decimal number, shared with the forwarder's other processes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarn::update {

// The shortest decimal text that reads back as the same double, in plain
// notation with a point and at least one digit after it ("1765012345.0",
// "1765012345.25"); never in exponent form.
std::string formatUpdateLastRun(double secondsSince1970);

// Reads the text as strtod does in the C locale (decimal, hexadecimal, inf,
// nan); absent for an empty text, leading white space or any leftover.
std::optional<double> parseUpdateLastRun(std::string_view text);

}  // namespace quarn::update
