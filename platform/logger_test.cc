#include "platform/logger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
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

struct FormatCase {
  std::string name;
  std::string format;
  std::vector<LogValue> values;
  std::string text;
  std::string redactedText;
  std::vector<LogPrivacy> privacies;
};

class MakeLogRecordTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(MakeLogRecordTest, RendersBothTexts) {
  const FormatCase& c = GetParam();
  const LogRecord record = makeLogRecord("sub", "cat", c.format, c.values);
  EXPECT_EQ(record.text, c.text);
  EXPECT_EQ(record.redactedText, c.redactedText);
  EXPECT_EQ(record.format, c.format);
  EXPECT_EQ(record.subsystem, "sub");
  EXPECT_EQ(record.category, "cat");
  ASSERT_EQ(record.arguments.size(), c.privacies.size());
  for (std::size_t i = 0; i < c.privacies.size(); ++i) {
    EXPECT_EQ(record.arguments[i].privacy, c.privacies[i]) << "argument " << i;
    EXPECT_EQ(record.arguments[i].value, c.values[i]) << "argument " << i;
  }
}

constexpr auto kPub = LogPrivacy::kPublic;
constexpr auto kPriv = LogPrivacy::kPrivate;

INSTANTIATE_TEST_SUITE_P(
    Conversions, MakeLogRecordTest,
    ::testing::Values(
        FormatCase{
            "PlainText", "No arguments here.", {}, "No arguments here.", "No arguments here.", {}},
        FormatCase{"PublicString",
                   "Error: %{public}s",
                   {std::string("boom")},
                   "Error: boom",
                   "Error: boom",
                   {kPub}},
        FormatCase{"PrivateString",
                   "Asset %s ready",
                   {std::string("A-1")},
                   "Asset A-1 ready",
                   "Asset <private> ready",
                   {kPriv}},
        FormatCase{"PrivateInteger",
                   "Status %ld",
                   {std::int64_t{502}},
                   "Status 502",
                   "Status <private>",
                   {kPriv}},
        FormatCase{"PublicNegativeInteger",
                   "Code %{public}ld",
                   {std::int64_t{-1001}},
                   "Code -1001",
                   "Code -1001",
                   {kPub}},
        FormatCase{"PublicReal",
                   "Wait %{public}f s",
                   {3.14159265},
                   "Wait 3.141593 s",
                   "Wait 3.141593 s",
                   {kPub}},
        FormatCase{"PrivateReal", "%f", {0.5}, "0.500000", "<private>", {kPriv}},
        FormatCase{"RealWithoutExponent",
                   "%{public}f",
                   {1e20},
                   "100000000000000000000.000000",
                   "100000000000000000000.000000",
                   {kPub}},
        FormatCase{"TinyRealRoundsToZero", "%{public}f", {-1e-9}, "-0.000000", "-0.000000", {kPub}},
        FormatCase{
            "RealRoundsHalfUp", "%{public}f", {899.9999996}, "900.000000", "900.000000", {kPub}},
        FormatCase{"Percent",
                   "100%% done %%{public}s",
                   {},
                   "100% done %{public}s",
                   "100% done %{public}s",
                   {}},
        FormatCase{"MixedPrivacy",
                   "%{public}s|%s|%{public}ld|%ld|%{public}f|%f",
                   {std::string("a"), std::string("b"), std::int64_t{1}, std::int64_t{2}, 1.0, 2.0},
                   "a|b|1|2|1.000000|2.000000",
                   "a|<private>|1|<private>|1.000000|<private>",
                   {kPub, kPriv, kPub, kPriv, kPub, kPriv}},
        FormatCase{"MultiLineArgument",
                   "Output:\n%{public}s",
                   {std::string("one\ntwo\n")},
                   "Output:\none\ntwo\n",
                   "Output:\none\ntwo\n",
                   {kPub}},
        FormatCase{"ArgumentLooksLikeFormat",
                   "%{public}s %s",
                   {std::string("%s%%"), std::string("%{public}s")},
                   "%s%% %{public}s",
                   "%s%% <private>",
                   {kPub, kPriv}},
        FormatCase{"MissingValueRendersNothing",
                   "a=%{public}s b=%s",
                   {std::string("x")},
                   "a=x b=",
                   "a=x b=",
                   {kPub}},
        FormatCase{"OtherTypesInTheirNaturalForm",
                   "%{public}s %{public}ld %{public}s",
                   {std::int64_t{42}, 2.5, 0.1},
                   "42 2.5 0.1",
                   "42 2.5 0.1",
                   {kPub, kPub, kPub}},
        FormatCase{"IntegerUnderRealConversion", "%{public}f", {std::int64_t{7}}, "7", "7", {kPub}},
        FormatCase{"UnknownConversionsStayLiteral",
                   "%d %{public}x %{private}s 5%",
                   {},
                   "%d %{public}x %{private}s 5%",
                   "%d %{public}x %{private}s 5%",
                   {}},
        FormatCase{"EmptyStringArgument", "[%{public}s]", {std::string()}, "[]", "[]", {kPub}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST(MakeLogRecordTest, ExtraValuesAreNotArguments) {
  const LogRecord record =
      makeLogRecord("s", "c", "%{public}s", {std::string("a"), std::string("b")});
  EXPECT_EQ(record.text, "a");
  ASSERT_EQ(record.arguments.size(), 1u);
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
  }
  close(fds[1]);
  const std::string written = readAll(fds[0]);
  close(fds[0]);

  const std::regex line(
      R"(^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z quarn\[(\d+)\] )"
      R"(\[com\.example\.sub:Orvanta Quarn\] Output:\nfirst\nsecond and <private>\n$)");
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

class ShouldLogToJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[] = "/tmp/quarn-journal-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    socketPath_ = directory_ + "/socket";
    ASSERT_EQ(pipe(pipe_), 0);
  }
  void TearDown() override {
    unlink(socketPath_.c_str());
    rmdir(directory_.c_str());
    close(pipe_[0]);
    close(pipe_[1]);
  }

  std::string directory_;
  std::string socketPath_;
  int pipe_[2] = {-1, -1};
};

TEST_F(ShouldLogToJournalTest, JournalWhenNotATerminalAndTheSocketExists) {
  const int fd = open(socketPath_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(shouldLogToJournal(pipe_[1], socketPath_));
}

TEST_F(ShouldLogToJournalTest, StandardErrorWhenTheSocketIsMissing) {
  EXPECT_FALSE(shouldLogToJournal(pipe_[1], socketPath_));
}

TEST_F(ShouldLogToJournalTest, StandardErrorWhenItIsATerminal) {
  const int fd = open(socketPath_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  EXPECT_FALSE(shouldLogToJournal(terminal, socketPath_));
  close(terminal);
  close(master);
}

}  // namespace
}  // namespace quarn::platform
