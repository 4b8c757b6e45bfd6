// The wall clock and the kernel's random number generator.

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/clock.h"

namespace quarn::platform {
namespace {

class SystemClock final : public Clock {
 public:
  double now() const override {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
  }
};

class SystemRandom final : public Random {
 public:
  std::uint64_t next64() override {
    unsigned char bytes[sizeof(std::uint64_t)] = {};
    std::size_t filled = 0;
    // getrandom() may return fewer bytes or be interrupted before the pool is
    // seeded; ask again for the rest.
    while (filled < sizeof bytes) {
      const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
      if (n > 0) {
        filled += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        fillFromDevice(bytes + filled, sizeof bytes - filled);
        break;
      }
    }
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }

 private:
  // For a kernel without getrandom(2): the same pool through its device.
  static void fillFromDevice(unsigned char* bytes, std::size_t size) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    std::size_t filled = 0;
    while (fd >= 0 && filled < size) {
      const ssize_t n = ::read(fd, bytes + filled, size - filled);
      if (n > 0) {
        filled += static_cast<std::size_t>(n);
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::unique_ptr<Clock> makeSystemClock() { return std::make_unique<SystemClock>(); }

std::unique_ptr<Random> makeSystemRandom() { return std::make_unique<SystemRandom>(); }

}  // namespace quarn::platform
