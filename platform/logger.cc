// Log records made from the program's printf-like formats: each conversion
// takes the next value, and both texts are rendered, the full one and the one
// with private arguments as "<private>". The sinks are in logger_linux.cc.
#include "platform/logger.h"

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace quarn::platform {
namespace {

constexpr std::string_view kPublicModifier = "{public}";
constexpr std::string_view kRedacted = "<private>";

enum class Conversion { string, integer, real };

std::string renderInteger(std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// printf("%f") without the locale: six digits after the point, no exponent.
std::string renderFixed(double value) {
  // The largest double has 309 integral digits.
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return {};
  return std::string(buffer, result.ptr);
}

// The shortest text that reads back as `value`.
std::string renderShortest(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (result.ec != std::errc()) return {};
  return std::string(buffer, result.ptr);
}

std::string render(Conversion conversion, const LogValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return renderInteger(*integer);
  const double real = std::get<double>(value);
  return conversion == Conversion::real ? renderFixed(real) : renderShortest(real);
}

}  // namespace

LogRecord makeLogRecord(std::string_view subsystem, std::string_view category,
                        std::string_view format, std::vector<LogValue> values) {
  LogRecord record;
  record.subsystem = std::string(subsystem);
  record.category = std::string(category);
  record.format = std::string(format);

  std::size_t nextValue = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const std::size_t percent = format.find('%', i);
    const std::size_t literalEnd = percent == std::string_view::npos ? format.size() : percent;
    record.text.append(format, i, literalEnd - i);
    record.redactedText.append(format, i, literalEnd - i);
    if (percent == std::string_view::npos) break;

    std::string_view rest = format.substr(percent + 1);
    if (rest.starts_with('%')) {
      record.text.push_back('%');
      record.redactedText.push_back('%');
      i = percent + 2;
      continue;
    }
    const bool isPublic = rest.starts_with(kPublicModifier);
    if (isPublic) rest.remove_prefix(kPublicModifier.size());

    Conversion conversion;
    std::size_t specifierLength;
    if (rest.starts_with('s')) {
      conversion = Conversion::string, specifierLength = 1;
    } else if (rest.starts_with("ld")) {
      conversion = Conversion::integer, specifierLength = 2;
    } else if (rest.starts_with('f')) {
      conversion = Conversion::real, specifierLength = 1;
    } else {
      // Not one of the known conversions: the '%' stands for itself.
      record.text.push_back('%');
      record.redactedText.push_back('%');
      i = percent + 1;
      continue;
    }
    i = percent + 1 + (isPublic ? kPublicModifier.size() : 0) + specifierLength;

    if (nextValue >= values.size()) continue;  // a missing value renders as nothing
    LogValue& value = values[nextValue++];
    const std::string rendered = render(conversion, value);
    record.text += rendered;
    if (isPublic) {
      record.redactedText += rendered;
    } else {
      record.redactedText += kRedacted;
    }
    record.arguments.push_back(LogArgument{
        std::move(value), isPublic ? LogPrivacy::publicValue : LogPrivacy::privateValue});
  }
  return record;
}

}  // namespace quarn::platform
