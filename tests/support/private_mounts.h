// inPrivateMounts: runs `body` in a forked child process with a mount
// namespace of its own, its mounts private and a fresh tmpfs on `tmpfsAt`
// (plus the namespaces in `more`, CLONE_NEWNET for a network of its own). An
// alarm ends the child after `seconds`; a test failure in it fails it. Returns
// false where the machine does not permit the namespaces (the caller skips);
// otherwise it expects the child to have succeeded.
//
// The child runs only `body` after the fork: fork where no other thread of the
// test runs, or keep `body` to async-signal-safe calls.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::testing {

// The exit status of a child that could not take its namespaces, or that
// `body` gives up with for the same reason.
constexpr int kNamespacesRefused = 77;

template <class Body>
bool inPrivateMounts(int more, const char* tmpfsAt, unsigned seconds, const Body& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(seconds);
    if (unshare(CLONE_NEWNS | more) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", tmpfsAt, "tmpfs", 0, nullptr) != 0)
      _exit(kNamespacesRefused);
    body();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kNamespacesRefused) return false;
  EXPECT_EQ(status, 0) << "the child's checks failed, or a signal ended it (14: its alarm)";
  return true;
}

}  // namespace quarn::testing
