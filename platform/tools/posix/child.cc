// Child processes on POSIX: fork, chdir and exec, with waitpid polling for the time-out;
// console control events are signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/posix/posix_error.h"
#include "platform/tools/child.h"

namespace platform {
namespace {

// In the child only: every call here is async-signal-safe. The console signals get their
// default actions back: a run in a shell's background ignores SIGINT, and a child that
// inherited that would not stop on its Ctrl+C.
[[noreturn]] void RunChild(const char* program, char* const* argv, const char* directory,
                           const char* output) {
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  int out = open(output, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out >= 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
  }
  if (chdir(directory) == 0) execv(program, argv);
  _exit(127);
}

int StatusOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& directory, const std::string& output_path) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) RunChild(program.c_str(), argv.data(), directory.c_str(), output_path.c_str());
  if (pid < 0) {
    SetLastErrorFromErrno(errno);
    return kNoChild;
  }
  return pid;
}

bool ChildWait(ChildHandle child, uint32_t timeout_ms, int* exit_code) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(static_cast<pid_t>(child), &status, WNOHANG);
    if (done == static_cast<pid_t>(child)) {
      *exit_code = StatusOf(status);
      return true;
    }
    if (done < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildKill(ChildHandle child) {
  kill(static_cast<pid_t>(child), SIGKILL);
  int status = 0;
  while (waitpid(static_cast<pid_t>(child), &status, 0) < 0 && errno == EINTR) {
  }
}

bool ChildSignal(ChildHandle child, ChildControl control) {
  int signal = control == ChildControl::kCtrlC       ? SIGINT
               : control == ChildControl::kCtrlBreak ? SIGTERM
                                                     : SIGHUP;
  if (kill(static_cast<pid_t>(child), signal) == 0) return true;
  SetLastErrorFromErrno(errno);
  return false;
}

namespace {

// A "<field>: <n> kB" line of the child's /proc status, in bytes; -1 when there is none.
int64_t StatusKilobytes(ChildHandle child, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(child) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + field.size()) * 1024;
  }
  return -1;
}

}  // namespace

int64_t ChildResidentBytes(ChildHandle child) {
  return StatusKilobytes(child, "VmRSS:");
}

int64_t ChildPeakResidentBytes(ChildHandle child) {
  return StatusKilobytes(child, "VmHWM:");
}

int64_t ChildCpuMicroseconds(ChildHandle child) {
  std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  // The command name (the second field) may hold spaces and parentheses: count the fields
  // from its closing parenthesis on. The times are the 14th and 15th fields.
  size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return -1;
  std::istringstream fields(line.substr(name_end + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  int64_t user = 0, kernel = 0;
  if (!(fields >> user >> kernel)) return -1;
  long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? (user + kernel) * 1000000 / ticks : -1;
}

}  // namespace platform
