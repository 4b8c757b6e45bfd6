// Clock and Random: the wall clock and the system's random number generator.
#pragma once

#include <cstdint>
#include <memory>

namespace quarn::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in seconds since 1970-01-01 00:00:00 UTC.
  virtual double now() const = 0;
};

class Random {
 public:
  virtual ~Random() = default;
  // 64 uniformly random bits.
  virtual std::uint64_t next64() = 0;
};

std::unique_ptr<Clock> makeSystemClock();
// Draws from getrandom(2), which blocks only until the kernel's pool is seeded.
std::unique_ptr<Random> makeSystemRandom();

}  // namespace quarn::platform
