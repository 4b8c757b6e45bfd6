// Fakes of Clock and Random that tests set by hand.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/clock.h"

namespace quarn::testing {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(double now = 1'765'000'000.0) : now_(now) {}
  double now() const override { return now_; }
  void set(double now) { now_ = now; }
  void advance(double seconds) { now_ += seconds; }

 private:
  double now_;
};

// Returns the queued values in order, then repeats the last one.
class FakeRandom final : public platform::Random {
 public:
  explicit FakeRandom(std::uint64_t value = 0) : values_{value} {}
  void queue(std::uint64_t value) { values_.push_back(value); }
  std::uint64_t next64() override {
    std::uint64_t value = values_.front();
    if (values_.size() > 1) values_.pop_front();
    return value;
  }

 private:
  std::deque<std::uint64_t> values_;
};

}  // namespace quarn::testing
