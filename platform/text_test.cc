// UTF-8 validation in pieces. (Locale-free number parsing is a row of the
// start's table: the stored check time.)
#include "platform/text.h"

#include <gtest/gtest.h>

namespace quarn::platform {
namespace {

// Each case in two pieces to the incremental validator, cut anywhere, inside
// characters too.
TEST(Utf8Test, AcceptsWellFormedAndRefusesMalformed) {
  const std::pair<std::string, bool> cases[] = {
      {"\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80", true},      // the smallest of each length
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", true},  // around the surrogates; U+10FFFF
      {"a\xE2\x82", false},                                // truncated
      {"\xC3\x28", false},                                 // no continuation byte
      {"\xF0\x8F\xBF\xBF", false},                         // overlong
      {"\xED\xBF\xBF", false},                             // last surrogate
      {"\xF4\x90\x80\x80", false},                         // U+110000
      {"\xF8\x88\x80\x80\x80", false},                     // a five-byte form
  };
  for (const auto& [bytes, valid] : cases) {
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      Utf8Validator validator;
      validator.append(std::string_view(bytes).substr(0, cut));
      validator.append(std::string_view(bytes).substr(cut));
      EXPECT_EQ(validator.valid(), valid) << bytes << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace quarn::platform
