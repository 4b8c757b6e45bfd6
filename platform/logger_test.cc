// Log records (formats, privacy) and the sinks that write them: the journal,
// against sockets of the test's own, and a descriptor, where the journal
// refuses them.
#include "platform/logger.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/private_mounts.h"

namespace quarn::platform {
namespace {

using namespace std::string_literals;

// Each known conversion takes the next value, public only when it says so;
// %f has six digits after the point and no exponent; another '%' is text; a
// missing value renders as nothing and an extra one is dropped; a value of
// another type renders in its natural form.
TEST(MakeLogRecordTest, RendersBothTextsAndPairsEachConversionWithItsValue) {
  const std::vector<LogValue> values = {"a"s,       "%s"s, -1001L, 502L,
                                        3.14159265, 1e20,  2.5,    899.9999996};
  const LogRecord record = makeLogRecord(
      "sub", "cat", "%{public}s|%s|%{public}ld|%ld|%{public}f|%f|%{public}s|%f", values);
  EXPECT_EQ(record.text, "a|%s|-1001|502|3.141593|100000000000000000000.000000|2.5|900.000000");
  EXPECT_EQ(record.redactedText, "a|<private>|-1001|<private>|3.141593|<private>|2.5|<private>");
  const LogRecord other = makeLogRecord("s", "c", "100%% %d %{private}s 5% %{public}s|%s", values);
  EXPECT_EQ(other.text, "100% %d %{private}s 5% a|%s");
  EXPECT_EQ(makeLogRecord("s", "c", "%{public}s and %s", {1L}).text, "1 and ");
  EXPECT_EQ(journalFields(record).size(), 8u) << "a MESSAGE_ID field without an identifier";
}

// The journal sink against a journal of the test's own: a child process
// mounts a tmpfs on /run in a mount namespace of its own, binds the journal's
// sockets where libsystemd finds them, and checks what they took (a record's
// entry, a child stream's header and what was written to it). With no socket
// listening, a child's output and a record then go to the fallback descriptor,
// a line per record (the end-to-end rows check its time stamp), the child's
// through a copy that it closes; once no one reads there, a record costs only
// itself. The child ends by its alarm after 20 s at most, and so ends the
// parent's wait. Skipped where mount namespaces are not permitted.
TEST(LogSinkTest, JournalSinkSendsEntriesAndStreamsAndFallsBackWhenRefused) {
  int fallback[2];
  ASSERT_EQ(pipe2(fallback, O_NONBLOCK), 0);
  const auto sink = makeJournalLogSink(fallback[1]);
  const int line = __LINE__ + 2;
  const auto logOne = [logger = Logger("com.example.sub", "Some Category", sink)] {
    logger.log(LogMessageId("0123456789abcdef0123456789abcdef"), "Sent %{public}s, %s.", "a", 7);
  };
  const auto bound = [](int type, std::string path) {
    const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
  };
  const auto taken = [](int fd) {  // what was sent to it, without waiting for more
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
    return bytes;
  };
  const bool ran = testing::inPrivateMounts(0, "/run", 20, [&] {
    (void)(mkdir("/run/systemd", 0755) + mkdir("/run/systemd/journal", 0755));
    const int entries = bound(SOCK_DGRAM, "/run/systemd/journal/socket");
    const int streams = bound(SOCK_STREAM, "/run/systemd/journal/stdout");
    (void)listen(streams, 1);
    logOne();
    (void)!write(sink->childOutput("orvanta-updater").get(), "child\n", 6);
    EXPECT_EQ(taken(entries) + taken(accept4(streams, nullptr, nullptr, SOCK_NONBLOCK)),
              "MESSAGE=Sent a, <private>.\nPRIORITY=5\nSYSLOG_IDENTIFIER=quarn\n"
              "QUARN_SUBSYSTEM=com.example.sub\nQUARN_CATEGORY=Some Category\n"
              "CODE_FILE=platform/logger_test.cc\nCODE_LINE=" +
                  std::to_string(line) +
                  "\nCODE_FUNC=operator()\nMESSAGE_ID=0123456789abcdef0123456789abcdef\n"
                  "orvanta-updater\n\n5\n0\n0\n0\n0\nchild\n");
    close(entries);
    close(streams);
    (void)!write(sink->childOutput("orvanta-updater").get(), "late\n", 5);
    logOne();
    EXPECT_EQ(taken(fallback[0]).erase(5, 24),  // the record's time
              "late\n quarn[" + std::to_string(getpid()) +
                  "] [com.example.sub:Some Category] Sent a, <private>.\n");
    int gone[2];  // the fallback turned into a pipe without a reader
    EXPECT_TRUE(pipe(gone) == 0 && close(gone[0]) == 0 && dup2(gone[1], fallback[1]) >= 0);
    logOne();  // loses the record, not the process
  });
  if (!ran) GTEST_SKIP() << "no mount namespace";
}

}  // namespace
}  // namespace quarn::platform
