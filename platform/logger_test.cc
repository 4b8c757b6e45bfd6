#include "platform/logger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::testing::ElementsAre;

constexpr auto kPub = LogPrivacy::kPublic;
constexpr auto kPriv = LogPrivacy::kPrivate;

TEST(MakeLogRecordTest, RendersBothTextsAndPairsEachConversionWithItsValue) {
  struct Case {
    std::string format;
    std::vector<LogValue> values;
    std::string text;
    std::string redactedText;
    std::vector<LogPrivacy> privacies;  // of the arguments, in order
  };
  const Case cases[] = {
      {"No arguments here.", {}, "No arguments here.", "No arguments here.", {}},
      {"%{public}s|%s|%{public}ld|%ld|%{public}f|%f",
       {std::string("a"), std::string("b"), std::int64_t{-1001}, std::int64_t{502}, 3.14159265,
        0.5},
       "a|b|-1001|502|3.141593|0.500000",
       "a|<private>|-1001|<private>|3.141593|<private>",
       {kPub, kPriv, kPub, kPriv, kPub, kPriv}},
      // Six digits after the point, no exponent, rounded half up.
      {"%{public}f %{public}f %{public}f",
       {1e20, -1e-9, 899.9999996},
       "100000000000000000000.000000 -0.000000 900.000000",
       "100000000000000000000.000000 -0.000000 900.000000",
       {kPub, kPub, kPub}},
      {"100%% done %%{public}s", {}, "100% done %{public}s", "100% done %{public}s", {}},
      {"Output:\n%{public}s[%{public}s]",
       {std::string("one\ntwo\n"), std::string()},
       "Output:\none\ntwo\n[]",
       "Output:\none\ntwo\n[]",
       {kPub, kPub}},
      {"%{public}s %s",
       {std::string("%s%%"), std::string("%{public}s")},
       "%s%% %{public}s",
       "%s%% <private>",
       {kPub, kPriv}},
      // A missing value renders as nothing; an extra one is no argument.
      {"a=%{public}s b=%s", {std::string("x")}, "a=x b=", "a=x b=", {kPub}},
      {"%{public}s", {std::string("a"), std::string("b")}, "a", "a", {kPub}},
      // A value of another type is rendered in its natural form.
      {"%{public}s %{public}ld %{public}s %{public}f",
       {std::int64_t{42}, 2.5, 0.1, std::int64_t{7}},
       "42 2.5 0.1 7",
       "42 2.5 0.1 7",
       {kPub, kPub, kPub, kPub}},
      {"%d %{public}x %{private}s 5%",
       {},
       "%d %{public}x %{private}s 5%",
       "%d %{public}x %{private}s 5%",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const LogRecord record = makeLogRecord("sub", "cat", c.format, c.values);
    EXPECT_EQ(record.text, c.text);
    EXPECT_EQ(record.redactedText, c.redactedText);
    EXPECT_EQ(record.format, c.format);
    EXPECT_EQ(record.subsystem, "sub");
    EXPECT_EQ(record.category, "cat");
    ASSERT_EQ(record.arguments.size(), c.privacies.size());
    for (std::size_t i = 0; i < c.privacies.size(); ++i) {
      EXPECT_EQ(record.arguments[i], (LogArgument{c.values[i], c.privacies[i]})) << i;
    }
  }
}

TEST(LoggerTest, PassesSubsystemCategoryAndTypedArguments) {
  auto sink = std::make_shared<testing::MemoryLogSink>();
  const Logger logger("com.example.sub", "Some Category", sink);
  logger.log("%{public}s %ld %{public}f", "text", 12, 1.5f);
  const auto records = sink->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].subsystem, "com.example.sub");
  EXPECT_EQ(records[0].category, "Some Category");
  EXPECT_EQ(records[0].text, "text 12 1.500000");
  EXPECT_EQ(records[0].redactedText, "text <private> 1.500000");
  EXPECT_THAT(records[0].arguments,
              ElementsAre(LogArgument{std::string("text"), kPub},
                          LogArgument{std::int64_t{12}, kPriv}, LogArgument{1.5, kPub}));
}

// A record names the call that logged it, with the file relative to the
// source tree, and carries a message identifier only when the call gives one;
// the journal gets both besides the message and its tags, always at notice.
TEST(JournalFieldsTest, NameTheCallThatLoggedAndTheMessageIdWhereGiven) {
  auto sink = std::make_shared<testing::MemoryLogSink>();
  const Logger logger("com.example.sub", "Some Category", sink);
  constexpr LogMessageId kId("0123456789abcdef0123456789abcdef");
  const std::string line = std::to_string(__LINE__ + 1);
  logger.log("Plain %{public}s and %s.", "open", "secret");
  logger.log(kId, "Identified %{public}ld.", 7);
  [&] { logger.log(std::string("From a lambda.")); }();

  const auto records = sink->records();
  ASSERT_EQ(records.size(), 3u);
  const auto fields = [](std::string message, std::string line, std::string function) {
    return std::vector<std::string>{"MESSAGE=" + message,
                                    "PRIORITY=5",
                                    "SYSLOG_IDENTIFIER=quarn",
                                    "QUARN_SUBSYSTEM=com.example.sub",
                                    "QUARN_CATEGORY=Some Category",
                                    "CODE_FILE=platform/logger_test.cc",
                                    "CODE_LINE=" + line,
                                    "CODE_FUNC=" + function};
  };
  EXPECT_EQ(journalFields(records[0]), fields("Plain open and <private>.", line, "TestBody"));
  auto identified = fields("Identified 7.", std::to_string(std::stoi(line) + 1), "TestBody");
  identified.push_back("MESSAGE_ID=0123456789abcdef0123456789abcdef");
  EXPECT_EQ(journalFields(records[1]), identified);
  EXPECT_EQ(journalFields(records[2]),
            fields("From a lambda.", std::to_string(std::stoi(line) + 2), "operator()"));
}

// Reads everything from `fd` until end of file.
std::string readAll(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  return bytes;
}

TEST(FileDescriptorLogSinkTest, WritesOneFormattedLinePerRecord) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    const Logger logger("com.example.sub", "Orvanta Quarn", makeFileDescriptorLogSink(fds[1]));
    logger.log("Output:\n%{public}s and %s", "first\nsecond", "secret");
    // A child's output goes to a copy of the sink's descriptor, above the
    // standard streams.
    FileDescriptor child = logger.sink()->childOutput("orvanta-updater");
    ASSERT_GT(child.get(), STDERR_FILENO);
    EXPECT_NE(child.get(), fds[1]);
    ASSERT_EQ(write(child.get(), "child\n", 6), 6);
  }
  // Other sinks let the child inherit the agent's streams.
  EXPECT_FALSE(testing::MemoryLogSink().childOutput("orvanta-updater"));
  close(fds[1]);
  const std::string written = readAll(fds[0]);
  close(fds[0]);

  const std::regex line(
      R"(^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z quarn\[(\d+)\] )"
      R"(\[com\.example\.sub:Orvanta Quarn\] Output:\nfirst\nsecond and <private>\nchild\n$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(written, match, line)) << written;
  EXPECT_EQ(std::stol(match[8]), getpid());
  EXPECT_LE(std::stoi(match[2]), 12);
  EXPECT_LE(std::stoi(match[4]), 23);
}

TEST(FileDescriptorLogSinkTest, ConcurrentRecordsStayWhole) {
  char path[] = "/tmp/quarn-log-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  const auto sink = makeFileDescriptorLogSink(fd);
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  const std::string payload(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Logger logger("s", "c", sink);
      for (int i = 0; i < kRecords; ++i) logger.log("%{public}ld %{public}s", t, payload);
    });
  }
  for (auto& thread : threads) thread.join();

  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  const std::string written = readAll(fd);
  close(fd);
  const std::regex line(R"(^\S+Z quarn\[\d+\] \[s:c\] [0-3] x{300}$)");
  int lines = 0;
  std::size_t start = 0;
  while (start < written.size()) {
    const std::size_t end = written.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(written.substr(start, end - start), line));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, kThreads * kRecords);
}

TEST(FileDescriptorLogSinkTest, ClosedReaderCostsTheRecordNotTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const Logger logger("s", "c", makeFileDescriptorLogSink(fds[1]));
  logger.log("nobody reads this");
  logger.log("nor this");
  close(fds[1]);
  SUCCEED();
}

TEST(ShouldLogToJournalTest, OnlyWhenStandardErrorIsNoTerminalAndTheSocketExists) {
  char directory[] = "/tmp/quarn-journal-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string socketPath = std::string(directory) + "/socket";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);

  EXPECT_FALSE(shouldLogToJournal(pipeFds[1], socketPath)) << "no socket";
  const int fd = open(socketPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(shouldLogToJournal(pipeFds[1], socketPath));
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master >= 0) {
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(terminal, 0);
    EXPECT_FALSE(shouldLogToJournal(terminal, socketPath)) << "a terminal";
    close(terminal);
    close(master);
  }
  close(pipeFds[0]);
  close(pipeFds[1]);
  std::filesystem::remove_all(directory);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
}

}  // namespace
}  // namespace quarn::platform
