// Text, SHA-256 and Base64, the wall clock, and the main run loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/task_queue.h"
#include "platform/text.h"

namespace quarn::platform {
namespace {

using namespace std::string_literals;

// Each case also in two pieces to the incremental validator, cut anywhere,
// inside characters too.
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
    EXPECT_EQ(isValidUtf8(bytes), valid) << bytes;
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      Utf8Validator validator;
      validator.append(std::string_view(bytes).substr(0, cut));
      validator.append(std::string_view(bytes).substr(cut));
      EXPECT_EQ(validator.valid(), valid) << bytes << " cut at " << cut;
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

// Tasks run by due time (never before it), then posting order; delays that
// are negative or not a number mean now, delays beyond what the clock holds
// mean never. A task may post, and so may the destruction of what it captured,
// which the loop does without its lock held. Another thread's post wakes the
// loop while it waits for a task that is not due; only the thread that runs
// the loop is told it runs the tasks.
TEST(MainRunLoopTest, RunsTasksByDueTimeThenPostingOrder) {
  auto loop = makeMainRunLoop();
  std::vector<std::string> trace;
  const auto add = [&](const char* step) { return [&trace, step] { trace.push_back(step); }; };
  std::shared_ptr<void> postsOnDestruction(nullptr, [&](void*) { loop->post(add("destructor")); });
  const auto start = std::chrono::steady_clock::now();
  std::thread other;
  loop->postDelayed(0.03, [&] {
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_TRUE(loop->runsTasksOnCurrentThread());
    other = std::thread([&] {
      EXPECT_FALSE(loop->runsTasksOnCurrentThread());
      loop->post([&] { loop->quit(); });
    });
  });
  loop->postDelayed(0.02, add("20ms-first"));
  loop->post([&, capture = std::move(postsOnDestruction)] { loop->post(add("posted")); });
  loop->postDelayed(-5, add("negative"));
  loop->postDelayed(std::numeric_limits<double>::quiet_NaN(), add("nan"));
  loop->postDelayed(0.02, add("20ms-second"));
  loop->postDelayed(std::numeric_limits<double>::infinity(), add("never"));
  loop->run();
  other.join();
  EXPECT_THAT(trace, ::testing::ElementsAre("negative", "nan", "posted", "destructor", "20ms-first",
                                            "20ms-second"));
}

TEST(ClockTest, SystemClockIsTheWallClockInSeconds) {
  EXPECT_NEAR(makeSystemClock()->now(), static_cast<double>(std::time(nullptr)), 2.0);
}

}  // namespace
}  // namespace quarn::platform
