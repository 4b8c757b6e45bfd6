// The system log on Linux: the journal's native protocol, or one line per
// record on stderr.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
// Each record names the place that logged it; the journal must not add the
// place of the sink's own call.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/logger.h"

namespace quarn::platform {
namespace {

constexpr char kJournalSocketPath[] = "/run/systemd/journal/socket";
constexpr char kProgramName[] = "quarn";

// "2026-01-31T12:34:56.789Z".
std::string utcTimestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char buffer[64];
  const std::size_t length = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts);
  char millis[24];
  std::snprintf(millis, sizeof millis, ".%03ldZ", static_cast<long>(now.tv_nsec / 1'000'000));
  return std::string(buffer, length) + millis;
}

// Writes all of `bytes`, retrying after signals and short writes. SIGPIPE is
// held back on this thread while writing, so a reader that went away costs the
// record, not the process.
void writeAll(int fd, const std::string& bytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
  sigset_t pending;
  sigpending(&pending);
  const bool pipeSignalWasPending = sigismember(&pending, SIGPIPE) == 1;

  std::size_t written = 0;
  bool brokenPipe = false;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd entry{fd, POLLOUT, 0};
      if (poll(&entry, 1, -1) >= 0 || errno == EINTR) continue;
    }
    brokenPipe = n < 0 && errno == EPIPE;
    break;
  }

  if (brokenPipe && !pipeSignalWasPending) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

class FileDescriptorLogSink final : public LogSink {
 public:
  explicit FileDescriptorLogSink(int fd) : fd_(fd) {}

  void write(const LogRecord& record) override {
    std::string line = utcTimestamp();
    line += ' ';
    line += kProgramName;
    line += '[' + std::to_string(getpid()) + "] [";
    line += record.subsystem;
    line += ':';
    line += record.category;
    line += "] ";
    line += record.redactedText;
    line += '\n';
    // Keeps the parts of one record together should the kernel take it in
    // several writes.
    std::lock_guard lock(mutex_);
    writeAll(fd_, line);
  }

  // The child shares this sink's open file; without a copy it inherits the
  // agent's streams.
  FileDescriptor childOutput(std::string_view) override {
    return FileDescriptor(fcntl(fd_, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  }

 private:
  const int fd_;
  std::mutex mutex_;
};

// One journal entry per record; a record the journal refuses goes to the
// fallback descriptor (stderr for the system log).
class JournalLogSink final : public LogSink {
 public:
  explicit JournalLogSink(int fallbackFd) : fallback_(fallbackFd) {}

  void write(const LogRecord& record) override {
    const std::vector<std::string> fields = journalFields(record);
    std::vector<iovec> vector(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      vector[i].iov_base = const_cast<char*>(fields[i].data());
      vector[i].iov_len = fields[i].size();
    }
    if (sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) < 0) {
      fallback_.write(record);
    }
  }

  // A journal stream of the child's own, at the level of the agent's records,
  // its lines taken as they are; where the journal refuses one, the child
  // writes where the records would then go.
  FileDescriptor childOutput(std::string_view identifier) override {
    FileDescriptor stream(
        sd_journal_stream_fd(std::string(identifier).c_str(), LOG_NOTICE, /*level_prefix=*/0));
    return stream ? std::move(stream) : fallback_.childOutput(identifier);
  }

 private:
  FileDescriptorLogSink fallback_;
};

}  // namespace

std::vector<std::string> journalFields(const LogRecord& record) {
  std::vector<std::string> fields = {
      "MESSAGE=" + record.redactedText,
      "PRIORITY=5",
      std::string("SYSLOG_IDENTIFIER=") + kProgramName,
      "QUARN_SUBSYSTEM=" + record.subsystem,
      "QUARN_CATEGORY=" + record.category,
      "CODE_FILE=" + std::string(record.location.file),
      "CODE_LINE=" + std::to_string(record.location.line),
      "CODE_FUNC=" + std::string(record.location.function),
  };
  if (record.messageId) fields.push_back("MESSAGE_ID=" + std::string(record.messageId->hex()));
  return fields;
}

bool shouldLogToJournal(int standardErrorFd, const std::string& journalSocketPath) {
  if (isatty(standardErrorFd) == 1) return false;
  struct stat status {};
  return stat(journalSocketPath.c_str(), &status) == 0;
}

std::shared_ptr<LogSink> makeFileDescriptorLogSink(int fd) {
  return std::make_shared<FileDescriptorLogSink>(fd);
}

std::shared_ptr<LogSink> makeJournalLogSink(int fallbackFd) {
  return std::make_shared<JournalLogSink>(fallbackFd);
}

std::shared_ptr<LogSink> systemLogSink() {
  static const std::shared_ptr<LogSink> sink = shouldLogToJournal(STDERR_FILENO, kJournalSocketPath)
                                                   ? makeJournalLogSink(STDERR_FILENO)
                                                   : makeFileDescriptorLogSink(STDERR_FILENO);
  return sink;
}

}  // namespace quarn::platform
