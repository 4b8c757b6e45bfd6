// Child processes on Linux: posix_spawn, pipes drained by a watcher thread,
// and a pidfd so the child's status is known as soon as it ends even when a
// grandchild keeps its pipes open. A time limit is a poll time-out of the
// watcher's, measured on the monotonic clock.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace quarn::platform {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pidfd for `pid`, or -1 where the kernel has none; the watcher then reaps
// after the pipes have ended.
int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
#else
  (void)pid;
  return -1;
#endif
}

// Moves a new pipe end off 0, 1 and 2, which can be free when the agent was
// started with closed standard streams: the child's dup2 onto 1 or 2 must not
// meet one of its own pipe ends there.
bool moveAboveStandardStreams(int& fd) {
  if (fd > STDERR_FILENO) return true;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  ::close(fd);
  fd = moved;
  return true;
}

int terminationStatus(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  return 128 + info.si_status;  // killed, or dumped core
}

// Beyond any limit the agent sets; keeps the deadline within the clock's range.
constexpr double kLongestTimeLimit = 1e9;

class LinuxProcess;

// What one output stream has given so far. Guarded by the owning process's
// mutex.
struct StreamState {
  std::string bytes;
  std::optional<Error> error;
  bool ended = false;
};

class LinuxPipe final : public Pipe {
 public:
  LinuxPipe(LinuxProcess& process, StreamState& state) : process_(process), state_(state) {}
  Expected<std::string> readToEnd() override;

 private:
  LinuxProcess& process_;
  StreamState& state_;
};

class LinuxProcess final : public Process {
 public:
  LinuxProcess(ProcessSpec command, pid_t pid, int outFd, int errFd)
      : launchPath_(std::move(command.launchPath)),
        arguments_(std::move(command.arguments)),
        outputObserver_(std::move(command.outputObserver)),
        pid_(pid),
        timeLimit_(command.timeLimit),
        deadline_(std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(
                          std::fmin(std::fmax(timeLimit_.value_or(0), 0.0), kLongestTimeLimit)))),
        fds_{outFd, errFd},
        pipes_{LinuxPipe(*this, streams_[0]), LinuxPipe(*this, streams_[1])} {
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0) streams_[i].ended = true;
    }
  }

  ~LinuxProcess() override {
    closeFd(fds_[0]);
    closeFd(fds_[1]);
  }

  const std::string& launchPath() const override { return launchPath_; }
  const std::vector<std::string>& arguments() const override { return arguments_; }
  Pipe* standardOutput() override { return hasPipe_[0] ? &pipes_[0] : nullptr; }
  Pipe* standardError() override { return hasPipe_[1] ? &pipes_[1] : nullptr; }

  int waitUntilExit() override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return status_.has_value(); });
    return *status_;
  }

  Expected<std::string> readToEnd(StreamState& state) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state.ended; });
    if (state.error) return *state.error;
    return state.bytes;
  }

  // Runs on the watcher thread: drains the pipes, reaps the child (killing its
  // group at the time limit), then runs the handler.
  void watch(ProcessLauncher::TerminationHandler onTermination) {
    int pidFd = openPidFd(pid_);
    // A child with a limit stays a zombie until the watch ends, so that its
    // pid, the id of its group, cannot be reused before the group is killed.
    const int keep = timeLimit_ ? WNOWAIT : 0;
    bool ended = false;
    char buffer[64 * 1024];
    for (;;) {
      pollfd entries[3];
      int owners[3];  // 0, 1: stream index; 2: the pidfd
      nfds_t count = 0;
      for (int i = 0; i < 2; ++i) {
        if (fds_[i] >= 0) entries[count] = {fds_[i], POLLIN, 0}, owners[count++] = i;
      }
      if (pidFd >= 0 && !ended) entries[count] = {pidFd, POLLIN, 0}, owners[count++] = 2;
      // Without a pidfd, the pipes alone say when to stop draining.
      if (count == 0) break;

      int timeout = -1;
      if (timeLimit_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
          killGroup();
          break;
        }
        timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
      }
      if (poll(entries, count, timeout) < 0) {
        if (errno == EINTR) continue;
        failOpenStreams(posixError(errno, "Reading the output of " + launchPath_));
        break;
      }
      for (nfds_t k = 0; k < count; ++k) {
        if (entries[k].revents == 0) continue;
        if (owners[k] == 2) {
          reap(keep);
          ended = true;
          continue;
        }
        drainOnce(owners[k], buffer, sizeof buffer);
      }
    }
    closeFd(pidFd);
    if (!ended) {
      reap(0);
    } else if (keep) {
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    if (onTermination) std::move(onTermination)(*this);
  }

  void setHasPipe(int index) { hasPipe_[index] = true; }
  pid_t pid() const { return pid_; }

 private:
  // One read from stream `index`; ends it on end of file or error.
  void drainOnce(int index, char* buffer, std::size_t size) {
    const ssize_t n = ::read(fds_[index], buffer, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0 && outputObserver_) {
      outputObserver_(index == 0 ? OutputStream::standardOutput : OutputStream::standardError,
                      std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    std::lock_guard lock(mutex_);
    StreamState& state = streams_[index];
    if (n > 0) {
      const std::size_t room = Pipe::kMaxCapturedBytes - state.bytes.size();
      state.bytes.append(buffer, std::min(room, static_cast<std::size_t>(n)));
      return;
    }
    if (n < 0) state.error = posixError(errno, "Reading the output of " + launchPath_);
    state.ended = true;
    closeFd(fds_[index]);
    changed_.notify_all();
  }

  // At the time limit: the child leads its group, and is still ours (not
  // reaped, or a zombie kept), so the group's id is its own. Kills every member
  // still in the group, and the child itself should it have left it; ends the
  // pipes that some process outside the group may still hold.
  void killGroup() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    failOpenStreams(timeLimitError(*timeLimit_));
  }

  void failOpenStreams(const Error& error) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0) continue;
      streams_[i].error = error;
      streams_[i].ended = true;
      closeFd(fds_[i]);
    }
    changed_.notify_all();
  }

  // Waits for the child to end and takes its status; `flags` WNOWAIT leaves
  // it a zombie.
  void reap(int flags) {
    siginfo_t info{};
    int result;
    do {
      result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | flags);
    } while (result < 0 && errno == EINTR);
    // ECHILD: someone else reaped it (SIGCHLD ignored); its status is lost.
    const int status = result == 0 && info.si_pid == pid_ ? terminationStatus(info) : -1;
    std::lock_guard lock(mutex_);
    status_ = status;
    changed_.notify_all();
  }

  const std::string launchPath_;
  const std::vector<std::string> arguments_;
  // Only the watcher calls it.
  const ProcessSpec::OutputObserver outputObserver_;
  const pid_t pid_;
  const std::optional<double> timeLimit_;
  const std::chrono::steady_clock::time_point deadline_;  // when a limit is set
  // Read ends of the stdout and stderr pipes; only the watcher touches them
  // until it has ended.
  int fds_[2];
  bool hasPipe_[2] = {false, false};

  std::mutex mutex_;
  std::condition_variable changed_;
  StreamState streams_[2];
  std::optional<int> status_;
  LinuxPipe pipes_[2];
};

Expected<std::string> LinuxPipe::readToEnd() { return process_.readToEnd(state_); }

// Owns the file actions and attributes of one spawn.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

class LinuxProcessLauncher final : public ProcessLauncher {
 public:
  Expected<std::shared_ptr<Process>> launch(ProcessSpec command,
                                            TerminationHandler onTermination) override {
    // [0] stdout, [1] stderr; each a {read, write} pair, both close-on-exec.
    int pipes[2][2] = {{-1, -1}, {-1, -1}};
    const bool wanted[2] = {command.pipeStandardOutput, command.pipeStandardError};
    auto closeAll = [&] {
      for (auto& pair : pipes) closeFd(pair[0]), closeFd(pair[1]);
    };
    for (int i = 0; i < 2; ++i) {
      if (!wanted[i]) continue;
      if (pipe2(pipes[i], O_CLOEXEC) != 0 || !moveAboveStandardStreams(pipes[i][0]) ||
          !moveAboveStandardStreams(pipes[i][1])) {
        const int errnum = errno;
        closeAll();
        return posixError(errnum, command.launchPath);
      }
    }

    // A copy above the standard streams, so that its dup2 onto 1 and 2 cannot
    // meet itself or be overwritten by the other; closed once the child has its
    // own.
    FileDescriptor output;
    if (command.outputDescriptor && !(wanted[0] && wanted[1])) {
      output = FileDescriptor(
          fcntl(command.outputDescriptor->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!output) {
        const int errnum = errno;
        closeAll();
        return posixError(errnum, command.launchPath);
      }
    }

    SpawnSetup setup;
    for (int i = 0; i < 2; ++i) {
      // dup2 onto 1 or 2 clears close-on-exec on the child's copy only.
      const int source = wanted[i] ? pipes[i][1] : output.get();
      if (source >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, source, i + 1);
    }
    // The child gets its standard streams and nothing else: descriptors the
    // agent or its libraries opened without close-on-exec (libcurl's socket
    // pair among them) stay here.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions_, STDERR_FILENO + 1);
    // The child starts with default signal handling and nothing blocked,
    // whatever this thread has set up.
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&setup.attributes_, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&setup.attributes_, &signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    // A child with a limit leads a group of its own, which is killed whole at
    // the limit; others share the agent's.
    if (command.timeLimit) {
      posix_spawnattr_setpgroup(&setup.attributes_, 0);
      flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&setup.attributes_, flags);

    std::vector<char*> argv;
    argv.push_back(command.launchPath.data());
    for (auto& argument : command.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const bool grouped = command.timeLimit.has_value();
    pid_t pid = -1;
    // glibc reports a failed exec (missing, not executable) here and reaps
    // that child itself.
    const int spawnError = posix_spawn(&pid, command.launchPath.c_str(), &setup.actions_,
                                       &setup.attributes_, argv.data(), environ);
    for (auto& pair : pipes) closeFd(pair[1]);
    output.reset();
    if (spawnError != 0) {
      closeAll();
      return posixError(spawnError, command.launchPath);
    }

    auto process =
        std::make_shared<LinuxProcess>(std::move(command), pid, pipes[0][0], pipes[1][0]);
    for (int i = 0; i < 2; ++i) {
      if (wanted[i]) process->setHasPipe(i);
    }
    try {
      std::thread([process, handler = std::move(onTermination)]() mutable {
        process->watch(std::move(handler));
      }).detach();
    } catch (const std::system_error& error) {
      // No watcher, no child: stop it (with its group, when it has one) and
      // reap it here. The process object closes the pipes.
      ::kill(grouped ? -pid : pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return posixError(error.code().value(), process->launchPath());
    }
    return std::shared_ptr<Process>(std::move(process));
  }
};

}  // namespace

Error timeLimitError(double seconds) {
  char text[128];
  std::snprintf(text, sizeof text,
                "The command did not end within its limit of %g s and was killed.", seconds);
  return Error{"ProcessError", 1, text};
}

std::shared_ptr<ProcessLauncher> makeProcessLauncher() {
  return std::make_shared<LinuxProcessLauncher>();
}

}  // namespace quarn::platform
