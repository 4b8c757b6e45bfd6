// The process launcher against real children (/bin/sh scripts), and the file
// system on real files: whole-file reads, staged files written both ways, as
// unnamed files and as the fallback for file systems that refuse those, and
// the lock across real processes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "gmock/gmock.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "tests/support/scoped_temp_dir.h"

namespace quarn::platform {
namespace {

namespace fs = std::filesystem;

std::string readAll(Pipe* pipe) {
  if (pipe == nullptr) return "<no pipe>";
  const Expected<std::string> bytes = pipe->readToEnd();
  return bytes ? *bytes : "<error: " + bytes.error().description + ">";
}

class ProcessTest : public ::testing::Test {
 protected:
  const testing::ScopedTempDir temp_;
  const std::string dir_ = temp_.path;
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
      {"kill -KILL $$", false, none, none, 128 + 9, 0},
      {both, true, "<two words><><'q' $HOME \\>.", "err\n", 0, 0},
      {large, true, std::string(kLimit, 'o'), std::string(300000, 'e'), 4, total - kLimit}};
  for (const auto& [body, piped, out, err, status, dropped] : cases) {
    SCOPED_TRACE(body.substr(0, 40));
    std::size_t seen = 0;  // goes far off on a byte that is not in the captures
    ProcessSpec command{
        "/bin/sh", {"-c", body, "sh", "two words", "", "'q' $HOME \\"}, piped, piped};
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

// A child gets its standard streams and no other descriptor of the agent's,
// whether its output is piped or sent to a given descriptor. One given a
// descriptor writes both streams there whenever it writes, also after its
// Process and the caller's copy are gone. A grandchild that keeps the output
// open does not hold up the exit status; the stream ends when it lets go. The
// shell lists its own descriptors through a separate `ls` (in a subshell where
// the shell would save a stream it redirects). A launch that fails is an
// error and leaves no descriptor open (earlier tests' watchers may still close
// some).
TEST_F(ProcessTest, ChildrenGetOnlyTheirStandardStreams) {
  const auto before = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  const auto failed = launcher_->launch({dir_, {}, true, true}, [](Process&) { ADD_FAILURE(); });
  ASSERT_FALSE(failed.has_value()) << "a folder is no program";
  EXPECT_EQ(failed.error().code, EACCES);
  EXPECT_THAT(failed.error().description, ::testing::HasSubstr(dir_));
  EXPECT_LE(std::distance(fs::directory_iterator("/proc/self/fd"), {}), before);
  ASSERT_EQ(mkfifo((dir_ + "/held").c_str(), 0600) | mkfifo((dir_ + "/go").c_str(), 0600), 0);
  const int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, on purpose
  const std::string list = "ls /proc/$$/fd";
  for (const bool piped : {true, false}) {
    SCOPED_TRACE(piped);
    const std::string body = piped ? list + "; (cat held >/dev/null; :) & exit 7"
                                   : "cat go >/dev/null; " + list + "; (" + list + ") >&2";
    ProcessSpec command{"/bin/sh", {"-c", "cd " + dir_ + "; " + body}, piped, piped};
    int output[2] = {-1, -1};
    if (!piped) {
      ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
      command.outputDescriptor = std::make_shared<const FileDescriptor>(output[1]);
    }
    const FileDescriptor reader(output[0]);
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value());
    if (piped) {
      EXPECT_EQ((*process)->waitUntilExit(), 7) << "the grandchild held up the exit status";
    } else {
      process->reset();
    }
    std::ofstream(dir_ + (piped ? "/held" : "/go")) << "go\n";
    std::ifstream written("/dev/fd/" + std::to_string(reader.get()));  // until the writers close
    std::istringstream listing(piped ? readAll((*process)->standardOutput())
                                     : std::string(std::istreambuf_iterator(written), {}));
    const std::multiset<int> fds(std::istream_iterator<int>(listing), {});
    EXPECT_EQ(fds.count(1) + fds.count(2), piped ? 2u : 4u) << "a standard stream is missing";
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

// One holder of the lock at a time: while another process holds it, an attempt
// finds it held at once; once that process is killed, it is free. A child
// started while the lock is held does not keep it.
TEST_F(ProcessTest, TheLockHasOneHolderAcrossProcesses) {
  const auto files = makeFileSystem();
  const std::string path = dir_ + "/quarn.lock";
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {  // only async-signal-safe calls: the test runs threads
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the other process did not take the lock";
  close(ready[0]);
  EXPECT_EQ(files->lockFile(path).state, FileLock::State::heldByAnother);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);

  FileLock lock = files->lockFile(path);
  ASSERT_EQ(lock.state, FileLock::State::acquired);
  ASSERT_EQ(mkfifo((dir_ + "/go").c_str(), 0600), 0);
  auto child = launcher_->launch({"/bin/sh", {"-c", "cat " + dir_ + "/go"}});
  ASSERT_TRUE(child.has_value());
  lock.file.reset();
  EXPECT_EQ(files->lockFile(path).state, FileLock::State::acquired) << "the child kept the lock";
  std::ofstream(dir_ + "/go") << "";
  EXPECT_EQ((*child)->waitUntilExit(), 0);
  EXPECT_EQ(files->lockFile(dir_ + "/missing/quarn.lock").error, posixError(ENOENT));
}

class FileSystemTest : public ::testing::TestWithParam<bool> {
 protected:
  const testing::ScopedTempDir temp_;
  const std::string dir_ = temp_.path;
  std::shared_ptr<FileSystem> files_ = makeFileSystem({.unnamedStagedFiles = GetParam()});
};

INSTANTIATE_TEST_SUITE_P(UnnamedAndFallback, FileSystemTest, ::testing::Bool());

// While a staged file is written, and after it was dropped uncommitted, the
// folder shows nothing but the destination as it was; a commit replaces the
// destination (a symbolic link planted there too, never its target) with a
// 0600 file that reads back whole. Nothing but regular files is read, and
// nothing blocks.
TEST_P(FileSystemTest, AStagedFileAppearsOnlyWholeAndOnlyAtTheDestination) {
  const std::string destination = dir_ + "/package.pkg";
  const std::string content = std::string("binary\0bytes\n", 13) + std::string(200000, 'q');
  std::ofstream(dir_ + "/victim") << "precious";
  for (const std::string way : {"dropped", "committed", "over a link"}) {
    SCOPED_TRACE(way);
    std::ofstream(destination) << "old";
    if (way == "over a link") {
      fs::remove(destination);
      fs::create_symlink(dir_ + "/victim", destination);
    }
    {
      auto staged = files_->createStagedFile(destination);
      ASSERT_TRUE(staged.has_value()) << staged.error().description;
      EXPECT_FALSE((*staged)->write(content.substr(0, 9)).has_value());
      EXPECT_FALSE((*staged)->write(content.substr(9)).has_value());
      EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a partial file is visible";
      EXPECT_TRUE(way == "dropped" || !(*staged)->commit().has_value());
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
    EXPECT_EQ(files_->readFile(destination), way == "dropped" ? "old" : content);
  }
  EXPECT_EQ(files_->readFile(dir_ + "/victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const auto missing = files_->createStagedFile(dir_ + "/missing/package.pkg");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ENOENT);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {dir_ + "/missing", dir_, dir_ + "/fifo", std::string("/dev/zero")})
    EXPECT_EQ(files_->readFile(path), std::nullopt) << path << " neither blocks nor reads";
}

}  // namespace
}  // namespace quarn::platform
