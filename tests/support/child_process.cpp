#include "support/child_process.h"

#include <cstdlib>
#include <cstring>
#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

constexpr char kChildOption[] = "--run-child-action";

std::map<std::string, int (*)()>& actions() {
  static std::map<std::string, int (*)()> registry;
  return registry;
}

#ifdef _WIN32
std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  out.pop_back();
  return out;
}

// Sets the variables for the life of the object, then restores them.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const Environment& environment) {
    for (const auto& [name, value] : environment) {
      std::wstring key = wide(name);
      wchar_t old[32768];
      DWORD n = GetEnvironmentVariableW(key.c_str(), old, 32768);
      saved_.push_back({key, n > 0 && n<32768, n> 0 && n < 32768 ? old : L""});
      SetEnvironmentVariableW(key.c_str(), wide(value).c_str());
    }
  }
  ~ScopedEnvironment() {
    for (const Saved& s : saved_)
      SetEnvironmentVariableW(s.name.c_str(), s.present ? s.value.c_str() : nullptr);
  }

 private:
  struct Saved {
    std::wstring name;
    bool present;
    std::wstring value;
  };
  std::vector<Saved> saved_;
};

int start_and_wait(const std::string& action) {
  wchar_t program[32768];
  DWORD n = GetModuleFileNameW(nullptr, program, 32768);
  if (n == 0 || n >= 32768) return -1;
  std::wstring command =
      L"\"" + std::wstring(program) + L"\" " + wide(kChildOption) + L" " + wide(action);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
#else
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const Environment& environment) {
    for (const auto& [name, value] : environment) {
      const char* old = std::getenv(name.c_str());
      saved_.push_back({name, old != nullptr, old ? old : ""});
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (const Saved& s : saved_) {
      if (s.present)
        setenv(s.name.c_str(), s.value.c_str(), 1);
      else
        unsetenv(s.name.c_str());
    }
  }

 private:
  struct Saved {
    std::string name;
    bool present;
    std::string value;
  };
  std::vector<Saved> saved_;
};

pid_t start(const std::string& action) {
  char program[4096];
  ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
  if (n <= 0) return -1;
  program[n] = 0;
  std::string option = kChildOption;
  std::string name = action;
  char* argv[] = {program, option.data(), name.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program, nullptr, nullptr, argv, environ) != 0) return -1;
  return child;
}

int start_and_wait(const std::string& action) {
  const pid_t child = start(action);
  if (child <= 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

}  // namespace

ChildAction::ChildAction(const char* name, int (*run)()) {
  actions()[name] = run;
}

int run_child(const std::string& action, const Environment& environment) {
  ScopedEnvironment scoped(environment);
  return start_and_wait(action);
}

#ifndef _WIN32
RunningChild::RunningChild(const std::string& action, const Environment& environment) {
  ScopedEnvironment scoped(environment);
  pid_ = start(action);
}

RunningChild::~RunningChild() {
  if (pid_ > 0) kill_now();
}

bool RunningChild::kill_now() {
  if (pid_ <= 0) return false;
  ::kill(pid_, SIGKILL);
  int status = 0;
  const bool killed = waitpid(pid_, &status, 0) == pid_ && WIFSIGNALED(status);
  pid_ = -1;
  return killed;
}

int RunningChild::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  const bool exited = waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status);
  pid_ = -1;
  return exited ? WEXITSTATUS(status) : -1;
}
#endif

bool run_requested_child_action(int argc, char** argv, int& status) {
  if (argc != 3 || std::strcmp(argv[1], kChildOption) != 0) return false;
  auto found = actions().find(argv[2]);
  status = found == actions().end() ? 127 : found->second();
  return true;
}
