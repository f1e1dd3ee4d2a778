// Runs code in a fresh process of the test program, for what a process does
// only once (the trace hook's set-up, the first content identifier).
//
// An action is registered by name at namespace scope:
//   const ChildAction kWriteId("write-id", [] { ...; return 0; });
// run_child("write-id", {{"NAME", "value"}}) starts the test program again
// with these environment variables added; that process runs only the action,
// and its result is the exit status.
#pragma once

#include <string>
#include <utility>
#include <vector>

class ChildAction {
 public:
  ChildAction(const char* name, int (*run)());
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// The child's exit status, or -1 when it could not be started.
int run_child(const std::string& action, const Environment& environment = {});

#ifndef _WIN32
// A child started without waiting for it, to be killed at a moment of the
// test's choosing (or waited for).
class RunningChild {
 public:
  RunningChild(const std::string& action, const Environment& environment);
  ~RunningChild();  // kills a child still running
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

  bool started() const { return pid_ > 0; }
  // SIGKILL, then reaps it; true when the signal ended it (not an exit before).
  bool kill_now();
  // Its exit status, or -1 when it did not exit normally.
  int wait();

 private:
  int pid_ = -1;
};
#endif

// For the test program's main: when the command line asks for an action,
// runs it, stores its result in status and returns true.
bool run_requested_child_action(int argc, char** argv, int& status);
