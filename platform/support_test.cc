#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/crypto.h"
#include "platform/text.h"

namespace quarn::platform {
namespace {

using namespace std::string_literals;

// Each case also in three pieces to the incremental validator, cut anywhere,
// inside characters too.
TEST(Utf8Test, AcceptsWellFormedAndRefusesMalformed) {
  const std::pair<std::string, bool> cases[] = {
      {"a\0b"s, true},
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
    EXPECT_EQ(isValidUtf8(bytes), valid) << bytes;
    for (std::size_t first = 0; first <= bytes.size(); ++first) {
      for (std::size_t second = first; second <= bytes.size(); ++second) {
        Utf8Validator validator;
        validator.append(std::string_view(bytes).substr(0, first));
        validator.append(std::string_view(bytes).substr(first, second - first));
        validator.append(std::string_view(bytes).substr(second));
        EXPECT_EQ(validator.valid(), valid) << bytes << " cut at " << first << ", " << second;
      }
    }
  }
}

TEST(ParseCLocaleDoubleTest, ReadsWhatStrtodReadsInTheCLocaleAndNothingMore) {
  EXPECT_EQ(parseCLocaleDouble("-2.5e3"), -2500.0);
  EXPECT_EQ(parseCLocaleDouble("0x1p30"), 1073741824.0);
  for (const std::string& text : {""s, "\n1"s, "1.0 "s, "1,5"s, "1\0"s})
    EXPECT_EQ(parseCLocaleDouble(text), std::nullopt) << text;
}

TEST(CryptoTest, Sha256HexInPiecesAndBase64) {
  Sha256 pieces;
  for (const char* piece : {"a", "", "bc"}) pieces.update(piece);
  EXPECT_EQ(pieces.finishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::pair<std::string, std::string> base64[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"\xFB\xFF\xBF", "+/+/"}};
  for (const auto& [bytes, text] : base64) EXPECT_EQ(base64Encode(bytes), text);
}

}  // namespace
}  // namespace quarn::platform
