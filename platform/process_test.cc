// The process launcher against real children: /bin/sh scripts in a temporary
// folder.
#include "platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/clock.h"
#include "tests/support/scoped_temp_dir.h"

namespace quarn::platform {
namespace {

std::string readAll(Pipe* pipe) {
  if (pipe == nullptr) return "<no pipe>";
  const Expected<std::string> bytes = pipe->readToEnd();
  return bytes ? *bytes : "<error: " + bytes.error().description + ">";
}

// Everything written into `fd` until every writer has closed it.
std::string readToEnd(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  return bytes;
}

class ProcessTest : public ::testing::Test {
 protected:
  // Writes a /bin/sh script with `mode` and returns its path.
  std::string script(const std::string& body, mode_t mode = 0755) {
    const std::string path = dir_ + "/script-" + std::to_string(++scripts_);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), mode);
    return path;
  }

  const testing::ScopedTempDir temp_;
  const std::string dir_ = temp_.path().string();
  int scripts_ = 0;
  std::shared_ptr<ProcessLauncher> launcher_ = makeProcessLauncher();
};

// The status is the exit code or 128 + the signal; the arguments arrive as
// given; piped streams are captured apart, unpiped ones have no pipe. Both
// streams far beyond what a pipe holds (stderr first) are drained while the
// child runs; at most the capture limit is kept, and the observer sees every
// byte.
TEST_F(ProcessTest, StatusArgumentsAndStreams) {
  const std::size_t kLimit = Pipe::kMaxCapturedBytes, total = kLimit + 100000;
  const std::string none = "<no pipe>", both = R"(printf '<%s>' "$@"; echo err >&2; printf .)",
                    large = "head -c 300000 /dev/zero | tr '\\0' e >&2; head -c " +
                            std::to_string(total) + " /dev/zero | tr '\\0' o; exit 4";
  const std::tuple<std::string, bool, std::string, std::string, int, std::size_t> cases[] = {
      {"exit 3", false, none, none, 3, 0},
      {"kill -TERM $$", false, none, none, 128 + 15, 0},
      {"kill -KILL $$", true, "", "", 128 + 9, 0},
      {both, true, "<two words><><'q' $HOME \\>.", "err\n", 0, 0},
      {large, true, std::string(kLimit, 'o'), std::string(300000, 'e'), 4, total - kLimit}};
  for (const auto& [body, piped, out, err, status, dropped] : cases) {
    SCOPED_TRACE(body.substr(0, 40));
    std::size_t seen = 0;  // goes far off on a byte that is not in the captures
    ProcessSpec command{script(body), {"two words", "", "'q' $HOME \\"}, piped, piped};
    command.outputObserver = [&](OutputStream stream, std::string_view bytes) {
      const std::string& captured = stream == OutputStream::standardOutput ? out : err;
      seen += captured.find(bytes.substr(0, 64)) != captured.npos ? bytes.size() : 1 << 30;
    };
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value()) << process.error().description;
    EXPECT_TRUE(readAll((*process)->standardOutput()) == out);
    EXPECT_EQ(readAll((*process)->standardError()), err);
    EXPECT_EQ((*process)->waitUntilExit(), status);
    EXPECT_EQ((*process)->waitUntilExit(), status) << "a second wait";
    EXPECT_EQ(seen, (piped ? out.size() + err.size() : 0) + dropped) << "observed bytes";
  }
}

// A grandchild that keeps stdout open does not hold up the exit status; the
// stream ends when the grandchild lets go of it.
TEST_F(ProcessTest, ExitIsSeenBeforeAGrandchildClosesTheOutput) {
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  auto process =
      launcher_->launch({script("echo parent; cat " + dir_ + "/fifo & exit 7"), {}, true});
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->waitUntilExit(), 7);
  std::ofstream(dir_ + "/fifo") << "grandchild\n";
  EXPECT_EQ(readAll((*process)->standardOutput()), "parent\ngrandchild\n");
}

TEST_F(ProcessTest, ALaunchThatFailsIsAnErrorAndLeavesNoDescriptorOpen) {
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = openDescriptors();
  for (const auto& [path, errnum] :
       {std::pair(dir_ + "/missing", ENOENT), std::pair(script("exit 0", 0644), EACCES)}) {
    auto result = launcher_->launch({path, {}, true, true}, [](Process&) { ADD_FAILURE(); });
    ASSERT_FALSE(result.has_value()) << path;
    EXPECT_EQ(result.error().domain, kPosixErrorDomain);
    EXPECT_EQ(result.error().code, errnum) << path;
    EXPECT_THAT(result.error().description, ::testing::HasSubstr(path));
  }
  EXPECT_LE(openDescriptors(), before) << "earlier watchers only ever close descriptors";
}

// A child gets its standard streams and no other descriptor of the agent's,
// whether its output is piped, partly inherited or sent to a given descriptor.
// One given a descriptor writes both streams there whenever it writes, also
// after its Process and the caller's copy are gone. The shell lists its own
// descriptors through a separate `ls` (in a subshell where the shell would
// save a stream it redirects).
TEST_F(ProcessTest, ChildrenGetOnlyTheirStandardStreams) {
  ASSERT_EQ(mkfifo((dir_ + "/go").c_str(), 0600), 0);
  const int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, on purpose
  ASSERT_GE(leaked, 3);
  const std::string list = "ls /proc/$$/fd",
                    late = "cat go >/dev/null; " + list + "; (" + list + ") >&2";
  for (const int way : {0, 1, 2}) {  // both piped, stderr inherited, to a descriptor
    SCOPED_TRACE(way);
    ProcessSpec command{"/bin/sh",
                        {"-c", "cd " + dir_ + "; " + (way == 2 ? late : list) + "; exit"},
                        way < 2,
                        way == 0};
    int output[2] = {-1, -1};
    if (way == 2) {
      ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
      command.outputDescriptor = std::make_shared<const FileDescriptor>(output[1]);
    }
    const FileDescriptor reader(output[0]);
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value());
    if (way == 2) (*process).reset(), std::ofstream(dir_ + "/go") << "go\n";
    std::istringstream listing(way == 2 ? readToEnd(reader.get())
                                        : readAll((*process)->standardOutput()));
    const std::multiset<int> fds(std::istream_iterator<int>(listing), {});
    EXPECT_EQ(fds.count(1) + fds.count(2), way == 2 ? 4u : 2u) << "a standard stream is missing";
    EXPECT_TRUE(fds.upper_bound(2) == fds.end()) << "the child holds another descriptor";
  }
  close(leaked);
}

TEST(ClockTest, SystemClockIsTheWallClockInSeconds) {
  const double before = static_cast<double>(std::time(nullptr));
  const double now = makeSystemClock()->now();
  EXPECT_GE(now, before);
  EXPECT_LT(now, static_cast<double>(std::time(nullptr)) + 1);
}

}  // namespace
}  // namespace quarn::platform
