// Process: child processes with optional output pipes.
//
// A child is started directly (posix_spawn, no shell of its own) with the
// launch path and arguments given; its standard input, environment and working
// directory are the agent's. Standard output and standard error each go to a
// new pipe, to a descriptor given by the caller, or are inherited; a child
// gets no other descriptor of the agent's. Pipes are drained while the child
// runs, so a child that prints more than a pipe holds still finishes; at most
// kMaxCapturedBytes of each stream are kept, the rest is read and dropped.
//
// Every child has a watcher thread of its own that drains its pipes, reaps it
// and then runs the termination handler, if one was given. The watcher keeps
// the Process alive until then, so a caller may drop its reference at once
// (the agent never waits for the updater tool). An output observer sees every
// byte the pipes carry, beyond the capture limit too, so a caller can judge a
// stream of any length in bounded memory. A child that must outlive the agent
// gets no pipe: once the agent has gone, a write to a pipe whose reading end
// has closed would kill it.
//
// A child given a time limit runs in a process group of its own. When the
// limit has passed on the monotonic clock and the child has not ended, or its
// pipes are still open (a grandchild may hold them), the watcher kills the
// whole group with SIGKILL, ends the open pipes with timeLimitError() and
// reaps the child: waitUntilExit() and readToEnd() return soon after the
// limit, even when a process that left the group still holds a pipe. Without a
// limit the child shares the agent's group and is waited for as long as it
// runs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/once_callback.h"

namespace quarn::platform {

enum class OutputStream { standardOutput, standardError };

struct ProcessSpec {
  using OutputObserver = std::function<void(OutputStream stream, std::string_view bytes)>;

  std::string launchPath;
  std::vector<std::string> arguments;  // argv[1..], the launch path is argv[0]
  bool pipeStandardOutput = false;     // inherited from the agent when false
  bool pipeStandardError = false;
  // When set, runs on the watcher thread with each piece read from a piped
  // stream, in order, before the capture limit applies; every call has
  // returned before that stream's Pipe::readToEnd() returns.
  OutputObserver outputObserver = nullptr;
  // When set, each stream that is not piped goes to this descriptor instead of
  // being inherited. The child gets copies of its own; the launcher keeps none.
  std::shared_ptr<const FileDescriptor> outputDescriptor = nullptr;
  // Seconds the child and its pipes may take; absent: no limit.
  std::optional<double> timeLimit = std::nullopt;
};

// The error that ends the pipes of a child killed at its time limit of
// `seconds`.
Error timeLimitError(double seconds);

// The reading end of a child's output pipe.
class Pipe {
 public:
  static constexpr std::size_t kMaxCapturedBytes = 16 * 1024 * 1024;

  virtual ~Pipe() = default;
  // Blocks until the stream has ended; returns every byte captured (possibly
  // none), or the error that ended the reading.
  virtual Expected<std::string> readToEnd() = 0;
};

class Process {
 public:
  virtual ~Process() = default;
  virtual const std::string& launchPath() const = 0;
  virtual const std::vector<std::string>& arguments() const = 0;
  // Null when the stream was not given a pipe.
  virtual Pipe* standardOutput() = 0;
  virtual Pipe* standardError() = 0;
  // Blocks until the child has ended; returns its termination status: the exit
  // code, or 128 + the signal number when a signal ended it.
  virtual int waitUntilExit() = 0;
};

class ProcessLauncher {
 public:
  using TerminationHandler = OnceCallback<void(Process&)>;

  virtual ~ProcessLauncher() = default;
  // Starts the child. A child that cannot be started (missing or not
  // executable file, no resources) gives an Error; nothing is left running.
  // `onTermination`, when set, runs once on the watcher thread after the child
  // has ended and its pipes have reached their end.
  virtual Expected<std::shared_ptr<Process>> launch(ProcessSpec command,
                                                    TerminationHandler onTermination = {}) = 0;
};

std::shared_ptr<ProcessLauncher> makeProcessLauncher();

}  // namespace quarn::platform
