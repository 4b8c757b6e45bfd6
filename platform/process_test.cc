// The process launcher against real children (/bin/sh scripts): status,
// arguments, streams, descriptors, and the time limit.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "gmock/gmock.h"
#include "tests/support/scoped_temp_dir.h"

namespace quarn::platform {
namespace {

std::string readAll(Pipe* pipe) {
  const Expected<std::string> bytes = pipe->readToEnd();
  return bytes ? *bytes : "<error: " + bytes.error().description + ">";
}

class ProcessTest : public ::testing::Test {
 protected:
  const testing::ScopedTempDir temp_;
  const std::string dir_ = temp_.path;
  std::shared_ptr<ProcessLauncher> launcher_ = makeProcessLauncher();
};

// The status is the exit code (128 + the signal: see the time limit's test);
// the arguments arrive as given; the streams are captured apart. Both streams
// far beyond what a pipe holds (stderr first) are drained while the child
// runs; at most the capture limit is kept, and the observer sees every byte,
// in order, a byte read alone too (the child writes its last once the agent
// has read the rest, or after 10 s).
TEST_F(ProcessTest, StatusArgumentsAndStreams) {
  const std::size_t kLimit = Pipe::kMaxCapturedBytes;
  const std::string large = "head -c 300000 /dev/zero | tr '\\0' e >&2; head -c " +
                            std::to_string(kLimit + 100000) + " /dev/zero | tr '\\0' o; exit 4";
  ASSERT_EQ(mkfifo((dir_ + "/go").c_str(), 0600), 0);
  // Each script, all it writes to each stream, and its status.
  const std::tuple<std::string, std::string, std::string, int> cases[] = {
      {R"(printf '<%s>' "$@"; echo err >&2; timeout 10 head -n1 >/dev/null )" + dir_ +
           "/go; printf .",
       "<two words><><'q' $HOME \\>.", "err\n", 0},
      {large, std::string(kLimit + 100000, 'o'), std::string(300000, 'e'), 4}};
  for (const auto& [body, out, err, status] : cases) {
    SCOPED_TRACE(body.substr(0, 40));
    std::string observed[2];  // standard output, standard error
    ProcessSpec command{"/bin/sh", {"-c", body, "sh", "two words", "", "'q' $HOME \\"}, true, true};
    command.outputObserver = [&](OutputStream stream, std::string_view bytes) {
      std::string& seen = observed[stream == OutputStream::standardError];
      if (seen.append(bytes).ends_with("\\>")) std::ofstream(dir_ + "/go") << "\n";
    };
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value()) << process.error().description;
    EXPECT_TRUE(readAll((*process)->standardOutput()) == out.substr(0, kLimit));
    EXPECT_EQ(readAll((*process)->standardError()), err);
    EXPECT_EQ((*process)->waitUntilExit(), status);
    EXPECT_TRUE(observed[0] == out && observed[1] == err) << "the observer missed bytes";
  }
}

// A child gets its standard streams and no other descriptor of the agent's,
// whether its output is piped or sent to a given descriptor, which it then
// writes both streams to. A grandchild that keeps the output open does not
// hold up the exit status; the streams end when it lets go. The shell lists
// its own descriptors on each stream through a separate `ls` (in a subshell
// where the shell would save a stream it redirects). A launch that fails is an
// error.
TEST_F(ProcessTest, ChildrenGetOnlyTheirStandardStreams) {
  const auto failed = launcher_->launch({dir_, {}, true, true}, [](Process&) { ADD_FAILURE(); });
  ASSERT_FALSE(failed.has_value()) << "a folder is no program";
  EXPECT_EQ(failed.error().code, EACCES);
  ASSERT_EQ(mkfifo((dir_ + "/held").c_str(), 0600), 0);
  const int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, on purpose
  const std::string list = "ls /proc/$$/fd";
  for (const bool piped : {true, false}) {
    SCOPED_TRACE(piped);
    const std::string body = list + "; (" + list + ") >&2; (cat held >/dev/null; :) & exit 7";
    ProcessSpec command{"/bin/sh", {"-c", "cd " + dir_ + "; " + body}, piped, piped};
    int output[2] = {-1, -1};
    if (!piped) {
      ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
      command.outputDescriptor = std::make_shared<const FileDescriptor>(output[1]);
    }
    const FileDescriptor reader(output[0]);
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value());
    EXPECT_EQ((*process)->waitUntilExit(), 7) << "the grandchild held up the exit status";
    std::ofstream(dir_ + "/held") << "go\n";
    std::ifstream written("/dev/fd/" + std::to_string(reader.get()));  // until the writers close
    std::istringstream listing(piped ? readAll((*process)->standardOutput()) +
                                           readAll((*process)->standardError())
                                     : std::string(std::istreambuf_iterator(written), {}));
    const std::multiset<int> fds(std::istream_iterator<int>(listing), {});
    EXPECT_EQ(fds.count(1) + fds.count(2), 4u) << "a standard stream is missing";
    EXPECT_TRUE(fds.upper_bound(2) == fds.end()) << "the child holds another descriptor";
  }
  close(leaked);
}

// A child with a time limit leads a process group of its own, and at the
// limit the whole group is killed: the child (its status tells the signal) and
// a grandchild that holds its pipes, which then end with the limit's error.
// Each sleeps far beyond the limit, which bounds the test should the kill fail.
TEST_F(ProcessTest, AChildPastItsLimitIsKilledWithItsGroup) {
  ProcessSpec command{
      "/bin/sh", {"-c", "sleep 60 & echo $! >" + dir_ + "/pid; sleep 60"}, true, true};
  command.timeLimit = 1;
  auto process = launcher_->launch(std::move(command));
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->waitUntilExit(), 128 + SIGKILL);
  const std::string killed = "<error: " + timeLimitError(1).description + ">";
  EXPECT_EQ(readAll((*process)->standardOutput()), killed);
  EXPECT_EQ(readAll((*process)->standardError()), killed);
  int grandchild = 0;
  std::ifstream(dir_ + "/pid") >> grandchild;
  ASSERT_GT(grandchild, 0);
  // Gone, or reaped by init already.
  const FileDescriptor watched(static_cast<int>(syscall(SYS_pidfd_open, grandchild, 0)));
  pollfd ended{watched.get(), POLLIN, 0};
  EXPECT_TRUE(!watched || poll(&ended, 1, 30000) == 1) << "the grandchild is still running";
}

}  // namespace
}  // namespace quarn::platform
