#include "platform/process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/url_session.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::testing::HasSubstr;

// Everything `pipe` captured, or what went wrong.
std::string readAll(Pipe* pipe) {
  if (pipe == nullptr) return "<no pipe>";
  const Expected<std::string> bytes = pipe->readToEnd();
  return bytes ? *bytes : "<error: " + bytes.error().description + ">";
}

// Everything written into `fd` until every writer has closed it.
std::string readToEnd(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n > 0)
      bytes.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR)
      break;
  }
  return bytes;
}

std::string makeTemporaryFolder() {
  char directory[] = "/tmp/quarn-process-XXXXXX";
  if (mkdtemp(directory) == nullptr) std::abort();
  return directory;
}

class ProcessTest : public ::testing::Test {
 protected:
  ~ProcessTest() override { std::filesystem::remove_all(directory_); }

  // Writes a /bin/sh script and returns its path.
  std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), mode);
    return path;
  }

  Expected<std::shared_ptr<Process>> run(const std::string& path, bool pipeOut, bool pipeErr,
                                         std::vector<std::string> arguments = {}) {
    return launcher_->launch(ProcessSpec{path, std::move(arguments), pipeOut, pipeErr});
  }

  const std::string directory_ = makeTemporaryFolder();
  std::shared_ptr<ProcessLauncher> launcher_ = makeProcessLauncher();
};

// The status is the exit code or 128 + the signal; piped streams are captured
// apart, unpiped ones have no pipe.
TEST_F(ProcessTest, StatusAndStreamsOfTheChild) {
  const std::string none = "<no pipe>";
  struct Case {
    const char* body;
    bool piped;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {"true", false, none, none, 0},
      {"exit 3", false, none, none, 3},
      {"exit 255", false, none, none, 255},
      {"kill -TERM $$", false, none, none, 128 + 15},
      {"kill -KILL $$", true, "", "", 128 + 9},
      {"exit 1", true, "", "", 1},
      {"echo out; echo err >&2; printf 'no newline'", true, "out\nno newline", "err\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto process = run(script("child.sh", c.body), c.piped, c.piped);
    ASSERT_TRUE(process.has_value()) << process.error().description;
    Process& p = **process;
    EXPECT_EQ(readAll(p.standardOutput()), c.out);
    EXPECT_EQ(readAll(p.standardError()), c.err);
    EXPECT_EQ(p.waitUntilExit(), c.status);
    EXPECT_EQ(p.waitUntilExit(), c.status) << "a second wait returns the same";
    EXPECT_EQ(readAll(p.standardOutput()), c.out) << "reading again";
  }
}

// The launch path is argv[0]; environment and working directory are the
// agent's.
TEST_F(ProcessTest, PassesArgumentsVerbatimAndInheritsEnvironmentAndWorkingDirectory) {
  const std::string path =
      script("args.sh", R"sh(printf '<%s>\n' "$0" "$@" "$QUARN_PROCESS_TEST_VALUE" "$(pwd -P)")sh");
  setenv("QUARN_PROCESS_TEST_VALUE", "inherited value", 1);
  auto process = run(path, true, false, {"-c", "two words", "", "'quoted' \"x\" $HOME \\"});
  unsetenv("QUARN_PROCESS_TEST_VALUE");
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->launchPath(), path);
  EXPECT_EQ((*process)->arguments().size(), 4u);
  const std::string cwd = std::filesystem::canonical(std::filesystem::current_path()).string();
  EXPECT_EQ(readAll((*process)->standardOutput()),
            "<" + path +
                ">\n<-c>\n<two words>\n<>\n<'quoted' \"x\" $HOME \\>\n<inherited value>\n<" + cwd +
                ">\n");
}

TEST_F(ProcessTest, InheritsStandardErrorWhenNotPiped) {
  const std::string capture = directory_ + "/stderr.txt";
  const int file = open(capture.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  const int savedStderr = dup(STDERR_FILENO);
  ASSERT_GE(savedStderr, 0);
  ASSERT_EQ(dup2(file, STDERR_FILENO), STDERR_FILENO);
  auto process = run(script("err.sh", "echo to-stdout; echo to-stderr >&2"), true, false);
  int status = -1;
  std::string out;
  if (process.has_value()) {
    out = readAll((*process)->standardOutput());
    status = (*process)->waitUntilExit();
  }
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(file);

  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->standardError(), nullptr);
  EXPECT_EQ(out, "to-stdout\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(makeFileSystem()->readFile(capture), "to-stderr\n");
}

// Both streams far beyond what a pipe buffers, the second one written first:
// the child only finishes when both are drained while it runs.
TEST_F(ProcessTest, DrainsLargeOutputOfBothStreamsWhileTheChildRuns) {
  auto process = run(script("large.sh",
                            "head -c 300000 /dev/zero | tr '\\0' e >&2\n"
                            "head -c 1048576 /dev/zero | tr '\\0' o\n"
                            "exit 4"),
                     true, true);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->waitUntilExit(), 4);
  EXPECT_EQ(readAll((*process)->standardOutput()), std::string(1048576, 'o'));
  EXPECT_EQ(readAll((*process)->standardError()), std::string(300000, 'e'));
}

// The observer still sees every byte, in order, on both streams.
TEST_F(ProcessTest, KeepsAtMostTheCaptureLimitAndDropsTheRest) {
  const std::size_t total = Pipe::kMaxCapturedBytes + 100000;
  std::size_t observedOut = 0;  // grows past `total` on a byte other than 'z'
  std::string observedErr;
  ProcessSpec command{
      .launchPath = script("huge.sh", "head -c " + std::to_string(total) +
                                          " /dev/zero | tr '\\0' z; echo 1 >&2; echo 2 >&2"),
      .arguments = {},
      .pipeStandardOutput = true,
      .pipeStandardError = true,
      .outputObserver =
          [&](OutputStream stream, std::string_view bytes) {
            if (stream == OutputStream::standardError) {
              observedErr += bytes;
            } else {
              observedOut +=
                  bytes.find_first_not_of('z') == std::string_view::npos ? bytes.size() : total + 1;
            }
          },
  };
  auto process = launcher_->launch(std::move(command));
  ASSERT_TRUE(process.has_value());
  const auto out = (*process)->standardOutput()->readToEnd();
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), Pipe::kMaxCapturedBytes);
  EXPECT_EQ(out->find_first_not_of('z'), std::string::npos);
  EXPECT_EQ(readAll((*process)->standardError()), "1\n2\n");
  EXPECT_EQ(observedOut, total);
  EXPECT_EQ(observedErr, "1\n2\n");
  EXPECT_EQ((*process)->waitUntilExit(), 0);
}

// A grandchild that keeps stdout open does not hold up the exit status; the
// stream ends when the grandchild lets go of it.
TEST_F(ProcessTest, ExitIsSeenBeforeAGrandchildClosesTheOutput) {
  const std::string fifo = directory_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto process = run(script("bg.sh", "echo parent; cat '" + fifo + "' & exit 7"), true, false);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ((*process)->waitUntilExit(), 7);
  {
    std::ofstream writer(fifo);
    writer << "grandchild\n";
  }
  EXPECT_EQ(readAll((*process)->standardOutput()), "parent\ngrandchild\n");
}

std::size_t openFdCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Zombie children of this process.
int zombieCount() {
  int zombies = 0;
  const std::string parent = std::to_string(getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...; comm may hold spaces and parentheses.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    if (state == "Z" && ppid == parent) ++zombies;
  }
  return zombies;
}

TEST_F(ProcessTest, ALaunchThatFailsIsAnErrorAndLeavesNothingBehind) {
  const std::string notExecutable = script("plain.sh", "exit 0", 0644);
  const std::string noInterpreter = directory_ + "/no-shebang";
  std::ofstream(noInterpreter) << "\x01\x02\x03 not a program\n";
  chmod(noInterpreter.c_str(), 0755);
  struct Case {
    std::string path;
    int errnum;
  };
  const Case cases[] = {
      {directory_ + "/missing", ENOENT}, {directory_ + "/missing-dir/tool", ENOENT},
      {notExecutable, EACCES},           {directory_, EACCES},
      {noInterpreter, ENOEXEC},
  };
  const std::size_t fdsBefore = openFdCount();
  for (int round = 0; round < 5; ++round) {
    for (const Case& c : cases) {
      bool handlerRan = false;
      auto result = launcher_->launch(ProcessSpec{c.path, {"arg"}, true, true},
                                      [&](Process&) { handlerRan = true; });
      ASSERT_FALSE(result.has_value()) << c.path;
      EXPECT_EQ(result.error().domain, kPosixErrorDomain);
      EXPECT_EQ(result.error().code, c.errnum) << c.path;
      EXPECT_THAT(result.error().description, HasSubstr(c.path));
      EXPECT_FALSE(handlerRan);
    }
  }
  // Other tests' watchers may still be closing descriptors, never opening.
  EXPECT_LE(openFdCount(), fdsBefore);
  EXPECT_EQ(zombieCount(), 0);
}

// Every child gets exactly its standard streams, whatever the agent holds open:
// a descriptor opened without close-on-exec, and the sockets of a live URL
// session that has run a task. The shell lists its own descriptors through a
// separate `ls`, which does not see the one it opens itself.
TEST_F(ProcessTest, ChildrenGetOnlyTheirStandardStreams) {
  testing::HttpsServer server;
  server.expect({"GET", "/ping"}).respond(200, "pong");
  const auto session = makeUrlSession({.caFile = server.caFile()},
                                      Logger("com.kelvane.Orvanta.quarn", "URL Session",
                                             std::make_shared<testing::MemoryLogSink>()));
  std::promise<void> loaded;
  HttpRequest request;
  request.url = server.url("/ping");
  session->dataTask(std::move(request), [&](auto, auto, auto) { loaded.set_value(); });
  ASSERT_EQ(loaded.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, on purpose
  ASSERT_GE(leaked, 3);

  // The listing travels on standard output: a pipe, with standard error piped
  // or inherited, or the descriptor given for both.
  for (const char* streams : {"both piped", "stderr inherited", "to a descriptor"}) {
    SCOPED_TRACE(streams);
    const bool toDescriptor = streams == std::string_view("to a descriptor");
    ProcessSpec command{.launchPath = "/bin/sh",
                        .arguments = {"-c", "ls /proc/$$/fd; exit 0"},
                        .pipeStandardOutput = !toDescriptor,
                        .pipeStandardError = streams == std::string_view("both piped")};
    FileDescriptor reader;
    if (toDescriptor) {
      int output[2] = {-1, -1};
      ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
      reader = FileDescriptor(output[0]);
      command.outputDescriptor = std::make_shared<const FileDescriptor>(output[1]);
    }
    auto process = launcher_->launch(std::move(command));
    ASSERT_TRUE(process.has_value());
    std::istringstream names(toDescriptor ? readToEnd(reader.get())
                                          : readAll((*process)->standardOutput()));
    ASSERT_EQ((*process)->waitUntilExit(), 0);
    std::vector<int> descriptors;
    for (int fd; names >> fd;) descriptors.push_back(fd);
    EXPECT_FALSE(descriptors.empty());
    for (const int fd : descriptors) EXPECT_LT(fd, 3) << "the child holds descriptor " << fd;
  }
  close(leaked);
  server.verify();
}

// A child given a descriptor writes both streams into it whenever it writes:
// after its Process has been dropped and every other copy of the descriptor
// closed, it still runs to its end.
TEST_F(ProcessTest, AChildWritingToAGivenDescriptorOutlivesTheAgentsSide) {
  const std::string go = directory_ + "/go";
  ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
  int stream[2] = {-1, -1};
  ASSERT_EQ(pipe2(stream, O_CLOEXEC), 0);
  FileDescriptor reader(stream[0]);
  {
    auto process = launcher_->launch(ProcessSpec{
        .launchPath = script("late.sh", "read line < '" + go +
                                            "'\necho late out; echo late err >&2; echo done > '" +
                                            directory_ + "/done'"),
        .arguments = {},
        .outputDescriptor = std::make_shared<const FileDescriptor>(stream[1])});
    ASSERT_TRUE(process.has_value());
    EXPECT_EQ((*process)->standardOutput(), nullptr);
    EXPECT_EQ((*process)->standardError(), nullptr);
  }
  std::ofstream(go) << "go\n";
  EXPECT_EQ(readToEnd(reader.get()), "late out\nlate err\n");
  EXPECT_EQ(makeFileSystem()->readFile(directory_ + "/done"), "done\n");
}

TEST_F(ProcessTest, TerminationHandlerRunsOnceOnAnotherThreadAfterTheEnd) {
  std::atomic<int> calls{0};
  std::promise<std::tuple<std::thread::id, std::string, int>> seen;
  auto process = launcher_->launch(
      ProcessSpec{script("done.sh", "echo finished; exit 9"), {}, true, false}, [&](Process& p) {
        ++calls;
        // Everything is over: neither call blocks.
        seen.set_value(
            {std::this_thread::get_id(), readAll(p.standardOutput()), p.waitUntilExit()});
      });
  ASSERT_TRUE(process.has_value());
  const auto [thread, out, status] = seen.get_future().get();
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(out, "finished\n");
  EXPECT_EQ(status, 9);
  EXPECT_EQ((*process)->waitUntilExit(), 9);
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(ProcessTest, DroppingTheProcessRightAfterLaunchIsSafe) {
  std::promise<std::string> output;
  {
    auto process = launcher_->launch(
        ProcessSpec{script("drop.sh", "head -c 200000 /dev/zero | tr '\\0' d"), {}, true, true},
        [&](Process& p) {
          output.set_value(readAll(p.standardOutput()) + readAll(p.standardError()));
        });
    ASSERT_TRUE(process.has_value());
  }
  EXPECT_EQ(output.get_future().get(), std::string(200000, 'd'));

  // Without a handler nobody hears of the end; the watcher still reaps.
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(launcher_->launch(ProcessSpec{"/bin/echo", {"dropped"}, true, false}).has_value());
  }
}

TEST(FileSystemTest, ReadsWholeFilesAndNothingElse) {
  char directory[] = "/tmp/quarn-files-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string base = directory;
  const std::string content = std::string("binary\0bytes\n", 13) + std::string(200000, 'q');
  std::ofstream(base + "/file", std::ios::binary) << content;
  std::ofstream(base + "/empty");
  std::ofstream(base + "/unreadable") << "secret";
  chmod((base + "/unreadable").c_str(), 0000);

  const auto files = makeFileSystem();
  EXPECT_EQ(files->readFile(base + "/file"), content);
  EXPECT_EQ(files->readFile(base + "/empty"), "");
  EXPECT_EQ(files->readFile(base + "/missing"), std::nullopt);
  EXPECT_EQ(files->readFile(base), std::nullopt);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(files->readFile(base + "/fifo"), std::nullopt) << "neither blocks nor reads";
  EXPECT_EQ(files->readFile("/dev/zero"), std::nullopt) << "a device is not read";
  std::filesystem::create_symlink(base + "/file", base + "/link");
  EXPECT_EQ(files->readFile(base + "/link"), content);
  if (geteuid() != 0) {
    EXPECT_EQ(files->readFile(base + "/unreadable"), std::nullopt);
  }
  std::filesystem::remove_all(base);
}

TEST(ClockTest, SystemClockIsTheWallClockInSeconds) {
  const double before = static_cast<double>(time(nullptr));
  const double now = makeSystemClock()->now();
  const double after = static_cast<double>(time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LT(now, after + 1);
}

TEST(RandomTest, SystemRandomVaries) {
  const auto random = makeSystemRandom();
  const std::uint64_t first = random->next64();
  bool differs = false;
  // 2^-64 per draw to repeat by chance.
  for (int i = 0; i < 4 && !differs; ++i) differs = random->next64() != first;
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace quarn::platform
