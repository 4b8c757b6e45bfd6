// MemoryLogSink: keeps every record written to it, for tests to inspect.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/logger.h"

namespace quarn::testing {

class MemoryLogSink final : public platform::LogSink {
 public:
  void write(const platform::LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }

  std::vector<platform::LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

  // The rendered texts (private arguments included), in order.
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& record : records_) texts.push_back(record.text);
    return texts;
  }

  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::LogRecord> records_;
};

}  // namespace quarn::testing
