// MemoryLogSink: keeps every record written to it, for tests to inspect.
//
// shown() gives a record as the system log shows it (private arguments as
// "<private>") followed by its private values, each in brackets, so one text
// tells both what was written and what was kept private.
//
// Like any sink that is not the system's, it gives a child no stream of its
// own, unless `childStreams` is set: then a child asking for one gets a copy
// of the test's standard error, so a test can tell that the stream was passed.
#pragma once

#include <mutex>
#include <sstream>

#include "platform/logger.h"

namespace quarn::testing {

class MemoryLogSink final : public platform::LogSink {
 public:
  void write(const platform::LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }
  platform::FileDescriptor childOutput(std::string_view identifier) override {
    if (!childStreams) return {};
    return platform::makeFileDescriptorLogSink(2)->childOutput(identifier);
  }

  std::vector<platform::LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // The rendered texts (private arguments included), in order.
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const auto& record : records()) texts.push_back(record.text);
    return texts;
  }
  static std::string shown(const platform::LogRecord& record) {
    std::ostringstream line;
    line << record.redactedText;
    for (const auto& argument : record.arguments) {
      if (argument.privacy != platform::LogPrivacy::privateValue) continue;
      std::visit([&](const auto& value) { line << " [" << value << "]"; }, argument.value);
    }
    return line.str();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

  bool childStreams = false;

 private:
  mutable std::mutex mutex_;
  std::vector<platform::LogRecord> records_;
};

}  // namespace quarn::testing
