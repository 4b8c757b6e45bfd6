#include "platform/logger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <regex>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

// Each known conversion takes the next value, public only when it says so;
// %f has six digits after the point and no exponent; another '%' is text; a
// missing value renders as nothing and an extra one is dropped; a value of
// another type renders in its natural form.
TEST(MakeLogRecordTest, RendersBothTextsAndPairsEachConversionWithItsValue) {
  using std::string_literals::operator""s;
  const std::vector<LogValue> values = {"a"s,       "%s"s, -1001L, 502L,
                                        3.14159265, 1e20,  2.5,    899.9999996};
  const LogRecord record = makeLogRecord(
      "sub", "cat", "%{public}s|%s|%{public}ld|%ld|%{public}f|%f|%{public}s|%f", values);
  EXPECT_EQ(record.text, "a|%s|-1001|502|3.141593|100000000000000000000.000000|2.5|900.000000");
  EXPECT_EQ(record.redactedText, "a|<private>|-1001|<private>|3.141593|<private>|2.5|<private>");
  const LogRecord other = makeLogRecord("s", "c", "100%% %d %{private}s 5% %{public}s|%s", values);
  EXPECT_EQ(other.text, "100% %d %{private}s 5% a|%s");
  EXPECT_EQ(makeLogRecord("s", "c", "%{public}s and %s", {1L}).text, "1 and ");
}

// The journal gets the message, its tags and where it was logged (the file
// relative to the source tree), always at notice, and the message identifier
// last, only when the call gives one.
TEST(JournalFieldsTest, NameTheCallThatLoggedAndTheMessageIdWhereGiven) {
  auto sink = std::make_shared<testing::MemoryLogSink>();
  const Logger logger("com.example.sub", "Some Category", sink);
  const int line = __LINE__ + 1;
  logger.log(LogMessageId("0123456789abcdef0123456789abcdef"), "Sent %{public}ld, %s.", 7, "x");
  logger.log(std::string("No identifier."));

  const auto records = sink->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_THAT(journalFields(records[0]),
              ::testing::ElementsAre(
                  "MESSAGE=Sent 7, <private>.", "PRIORITY=5", "SYSLOG_IDENTIFIER=quarn",
                  "QUARN_SUBSYSTEM=com.example.sub", "QUARN_CATEGORY=Some Category",
                  "CODE_FILE=platform/logger_test.cc", "CODE_LINE=" + std::to_string(line),
                  "CODE_FUNC=TestBody", "MESSAGE_ID=0123456789abcdef0123456789abcdef"));
  EXPECT_EQ(journalFields(records[1]).back(), "CODE_FUNC=TestBody") << "no message identifier";
}

// One line per record; a child writes into a copy of the descriptor, above
// the standard streams. A reader that went away costs the record, not the
// process.
TEST(FileDescriptorLogSinkTest, WritesOneLinePerRecord) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Logger logger("com.example.sub", "Orvanta Quarn", makeFileDescriptorLogSink(fds[1]));
  logger.log("Out:\n%{public}s, %s", "a\nb", "secret");
  {
    const FileDescriptor child = logger.sink()->childOutput("orvanta-updater");
    ASSERT_GT(child.get(), STDERR_FILENO);
    ASSERT_EQ(write(child.get(), "child\n", 6), 6);
  }
  char buffer[4096];
  const std::string written(buffer, std::max<ssize_t>(read(fds[0], buffer, sizeof buffer), 0));
  close(fds[0]);
  EXPECT_TRUE(std::regex_match(
      written,
      std::regex(R"(\d{4}-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\d\.\d{3}Z quarn\[)" +
                 std::to_string(getpid()) +
                 R"(\] \[com\.example\.sub:Orvanta Quarn\] Out:\na\nb, <private>\nchild\n)")))
      << written;
  logger.log("nobody reads this");
  close(fds[1]);
}

// Records go to the journal only when standard error is no terminal and the
// journal's socket exists.
TEST(ShouldLogToJournalTest, OnlyWhenStandardErrorIsNoTerminalAndTheSocketExists) {
  EXPECT_FALSE(shouldLogToJournal(-1, "/nonexistent"));
  EXPECT_TRUE(shouldLogToJournal(-1, "/dev/null"));
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) GTEST_SKIP() << "no pseudo-terminals here";
  EXPECT_FALSE(shouldLogToJournal(terminal, "/dev/null"));
  close(terminal);
}

}  // namespace
}  // namespace quarn::platform
