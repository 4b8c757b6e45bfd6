// Logger: a handle on the system log for one (subsystem, category) pair.
//
// Messages use the program's printf-like formats, of which exactly these
// conversions exist: %{public}s, %s, %ld, %{public}ld, %{public}f, %f and %%.
// An argument is public when its conversion says {public}, private otherwise;
// the system sink redacts private arguments as "<private>", like the platform
// log does. Every message is written at the default level.
//
// Each record also says where it was logged (file, line and function of the
// call to log()) and may carry a fixed message identifier, so that a reader
// can find every record of one kind.
//
// Loggers are cheap values and may be used from any thread; sinks are
// thread-safe.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/file_descriptor.h"

namespace quarn::platform {

// Whether an argument of a record may be shown, or is written as "<private>"
// by the system sink.
enum class LogPrivacy { publicValue, privateValue };

using LogValue = std::variant<std::string, std::int64_t, double>;

// Where a record was logged: the source file (relative to the source tree when
// the build maps the prefix away), line and function of the call.
struct LogLocation {
  std::string_view file;
  std::uint32_t line = 0;
  std::string_view function;

  friend bool operator==(const LogLocation&, const LogLocation&) = default;
};

// A fixed 128-bit identifier of one kind of record, as 32 lower-case
// hexadecimal digits (the journal's MESSAGE_ID). Made from a string literal
// only, and checked when compiled: a malformed identifier does not build.
class LogMessageId {
 public:
  consteval explicit LogMessageId(const char (&hex)[33]) : hex_(hex, 32) {
    for (const char c : hex_) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
        throw "a message identifier is 32 lower-case hexadecimal digits";
      }
    }
  }

  constexpr std::string_view hex() const { return hex_; }

  friend bool operator==(const LogMessageId&, const LogMessageId&) = default;

 private:
  std::string_view hex_;  // of a literal: valid for the whole program
};

// A message format together with the place that logs it. It converts
// implicitly from the format text and then records the caller's file, line
// and function (the compiler's builtins, which std::source_location is built
// on, evaluated as default arguments at the call), so that
// `logger.log("text %{public}s", value)` names its own place without spelling
// it out. It views the caller's text: use it only as a parameter.
class LogFormat {
 public:
  template <class Text>
  requires std::convertible_to<const Text&, std::string_view> LogFormat(
      const Text& text, const char* file = __builtin_FILE(), int line = __builtin_LINE(),
      const char* function = __builtin_FUNCTION())
      : text_(text), location_{file, static_cast<std::uint32_t>(line), function} {}

  std::string_view text() const { return text_; }
  const LogLocation& location() const { return location_; }

 private:
  std::string_view text_;
  LogLocation location_;
};

struct LogArgument {
  LogValue value;
  LogPrivacy privacy = LogPrivacy::privateValue;

  friend bool operator==(const LogArgument&, const LogArgument&) = default;
};

// One message as handed to a sink.
struct LogRecord {
  std::string subsystem;
  std::string category;
  std::string format;
  std::vector<LogArgument> arguments;  // in format order, privacy from the format
  std::string text;                    // fully rendered, private arguments included
  std::string redactedText;            // rendered with private arguments as "<private>"
  LogLocation location;                // where it was logged
  std::optional<LogMessageId> messageId;
};

// Parses `format`, pairs each conversion with the next value and renders both
// texts of a record. %s takes a string, %ld an integer, %f a double printed
// with six digits after the point and no exponent. A value of another type is
// rendered in its own natural form; a missing value renders as nothing.
LogRecord makeLogRecord(std::string_view subsystem, std::string_view category,
                        std::string_view format, std::vector<LogValue> values);

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Thread-safe; never throws.
  virtual void write(const LogRecord& record) = 0;
  // Where a child that outlives the agent should send its standard output and
  // standard error, as a program of its own named `identifier`: a descriptor
  // of this log, or an empty one when the child should inherit the agent's
  // streams (the default, for sinks that are not the system's).
  virtual FileDescriptor childOutput(std::string_view identifier) {
    (void)identifier;
    return {};
  }
};

// The process's system log: the journal when its socket exists and stderr is
// not a terminal, stderr otherwise. Created on first use.
std::shared_ptr<LogSink> systemLogSink();

// The two halves of systemLogSink()'s choice, exposed for tests.
// True when records go to the journal: `standardErrorFd` is not a terminal and
// something exists at `journalSocketPath`.
bool shouldLogToJournal(int standardErrorFd, const std::string& journalSocketPath);
// A sink that writes each record's redacted text to `fd` (which stays the
// caller's) as one line, with a single write(2) unless the kernel takes it in
// parts: "<UTC time, ISO 8601 with ms>Z quarn[<pid>] [<subsystem>:<category>]
// <message>\n". Write errors are dropped; a closed pipe does not raise SIGPIPE.
// A child's output goes to a copy of `fd`.
std::shared_ptr<LogSink> makeFileDescriptorLogSink(int fd);
// The journal sink that systemLogSink() uses: one entry per record, with the
// fields of journalFields(), through the journal's socket; a record that the
// journal refuses goes to `fallbackFd` (which stays the caller's) as
// makeFileDescriptorLogSink(fallbackFd) writes it. A child's output goes to a
// journal stream of its own, at notice and without level prefixes, or to a
// copy of `fallbackFd` when the journal gives no stream.
std::shared_ptr<LogSink> makeJournalLogSink(int fallbackFd);
// The fields of the journal entry for `record`, each "NAME=value", in this
// order: MESSAGE (the redacted text), PRIORITY=5, SYSLOG_IDENTIFIER=quarn,
// QUARN_SUBSYSTEM, QUARN_CATEGORY, CODE_FILE, CODE_LINE, CODE_FUNC, and
// MESSAGE_ID when the record has one.
std::vector<std::string> journalFields(const LogRecord& record);

class Logger {
 public:
  Logger(std::string subsystem, std::string category, std::shared_ptr<LogSink> sink)
      : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

  template <class... Args>
  void log(LogFormat format, const Args&... args) const {
    write(std::nullopt, format, toLogValues(args...));
  }
  // The same, for a record that an operator searches for by its identifier.
  template <class... Args>
  void log(LogMessageId messageId, LogFormat format, const Args&... args) const {
    write(messageId, format, toLogValues(args...));
  }

  const std::shared_ptr<LogSink>& sink() const { return sink_; }

 private:
  void write(std::optional<LogMessageId> messageId, const LogFormat& format,
             std::vector<LogValue> values) const {
    LogRecord record = makeLogRecord(subsystem_, category_, format.text(), std::move(values));
    record.location = format.location();
    record.messageId = messageId;
    sink_->write(record);
  }

  template <class... Args>
  static std::vector<LogValue> toLogValues(const Args&... args) {
    std::vector<LogValue> values;
    values.reserve(sizeof...(Args));
    (values.push_back(toLogValue(args)), ...);
    return values;
  }

  template <class T>
  static LogValue toLogValue(const T& value) {
    if constexpr (std::is_floating_point_v<T>) {
      return static_cast<double>(value);
    } else if constexpr (std::is_integral_v<T>) {
      return static_cast<std::int64_t>(value);
    } else {
      return std::string(std::string_view(value));
    }
  }

  std::string subsystem_;
  std::string category_;
  std::shared_ptr<LogSink> sink_;
};

}  // namespace quarn::platform
