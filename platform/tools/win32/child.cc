// Child processes on CreateProcess: the command line quoted the way the C runtime splits it,
// standard output and error appended to a file, and console control events through the
// console that parent and child share.
//
// Each child is started in a process group of its own on its parent's console, so that a
// control event reaches it and nobody else; a parent without a console makes one first.

// windows.h first: the headers after it build on its types.
#include "platform/win32/windows_headers.h"

#include <psapi.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/tools/child.h"
#include "platform/tools/win32/console.h"

namespace platform {
namespace {

struct Child {
  HANDLE process;
  DWORD id;
};

// Children by handle: a handle that was reaped, or never given, is refused instead of used.
std::mutex g_children_mutex;
std::map<ChildHandle, Child> g_children;
ChildHandle g_next_child = 1;

// The status a process gets when its console closes under it (STATUS_CONTROL_C_EXIT).
constexpr DWORD kClosedByConsole = 0xC000013A;

bool Find(ChildHandle handle, Child* child) {
  std::lock_guard<std::mutex> hold(g_children_mutex);
  auto found = g_children.find(handle);
  if (found == g_children.end()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  *child = found->second;
  return true;
}

void Forget(ChildHandle handle) {
  std::lock_guard<std::mutex> hold(g_children_mutex);
  auto found = g_children.find(handle);
  if (found == g_children.end()) return;
  CloseHandle(found->second.process);
  g_children.erase(found);
}

// One word of a command line as CommandLineToArgvW and the C runtime read it back:
// backslashes count only before a quote, where they are doubled.
void AppendQuoted(const std::string& word, std::string* line) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += word;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char ch : word) {
    if (ch == '\\') {
      ++backslashes;
      continue;
    }
    if (ch == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    *line += ch;
  }
  line->append(backslashes * 2, '\\');  // before the closing quote
  *line += '"';
}

HANDLE OpenInheritable(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& directory, const std::string& output_path) {
  std::string line;
  AppendQuoted(program, &line);
  for (const std::string& argument : arguments) {
    line += ' ';
    AppendQuoted(argument, &line);
  }
  HANDLE output = OpenInheritable(output_path.c_str(), FILE_APPEND_DATA, OPEN_ALWAYS);
  if (output == INVALID_HANDLE_VALUE) return kNoChild;
  HANDLE input = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  EnsureConsole(false);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION started{};
  // The program as given, even without ".exe"; a bare name is searched for as Windows does.
  DWORD attributes = GetFileAttributesA(program.c_str());
  const char* application =
      attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
          ? program.c_str()
          : nullptr;
  BOOL ok =
      CreateProcessA(application, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                     nullptr, directory.empty() ? nullptr : directory.c_str(), &startup, &started);
  DWORD error = GetLastError();
  CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!ok) {
    SetLastError(error);
    return kNoChild;
  }
  CloseHandle(started.hThread);
  std::lock_guard<std::mutex> hold(g_children_mutex);
  ChildHandle handle = g_next_child++;
  g_children[handle] = Child{started.hProcess, started.dwProcessId};
  return handle;
}

bool ChildWait(ChildHandle handle, uint32_t timeout_ms, int* exit_code) {
  Child child;
  if (!Find(handle, &child)) return false;
  DWORD waited = WaitForSingleObject(child.process, timeout_ms);
  if (waited != WAIT_OBJECT_0) {
    if (waited == WAIT_TIMEOUT) SetLastError(WAIT_TIMEOUT);
    return false;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child.process, &code)) return false;
  *exit_code = static_cast<int>(code);
  Forget(handle);
  return true;
}

void ChildKill(ChildHandle handle) {
  Child child;
  if (!Find(handle, &child)) return;
  TerminateProcess(child.process, 1);
  WaitForSingleObject(child.process, INFINITE);
  Forget(handle);
}

bool ChildSignal(ChildHandle handle, ChildControl control) {
  Child child;
  if (!Find(handle, &child)) return false;
  switch (control) {
    case ChildControl::kCtrlC:
      return GenerateConsoleCtrlEvent(CTRL_C_EVENT, child.id) != 0;
    case ChildControl::kCtrlBreak:
      return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id) != 0;
    case ChildControl::kClose:
      // No call closes another process's console; what the system does once the close
      // handlers returned is this.
      return TerminateProcess(child.process, kClosedByConsole) != 0;
  }
  SetLastError(kErrorInvalidParameter);
  return false;
}

namespace {

bool MemoryCounters(ChildHandle handle, PROCESS_MEMORY_COUNTERS* counters) {
  Child child;
  if (!Find(handle, &child)) return false;
  *counters = {};
  counters->cb = sizeof *counters;
  return GetProcessMemoryInfo(child.process, counters, sizeof *counters) != 0;
}

}  // namespace

int64_t ChildResidentBytes(ChildHandle handle) {
  PROCESS_MEMORY_COUNTERS counters;
  if (!MemoryCounters(handle, &counters)) return -1;
  return static_cast<int64_t>(counters.WorkingSetSize);
}

int64_t ChildPeakResidentBytes(ChildHandle handle) {
  PROCESS_MEMORY_COUNTERS counters;
  if (!MemoryCounters(handle, &counters)) return -1;
  return static_cast<int64_t>(counters.PeakWorkingSetSize);
}

int64_t ChildCpuMicroseconds(ChildHandle handle) {
  Child child;
  FILETIME created, ended, kernel, user;
  if (!Find(handle, &child) ||
      GetProcessTimes(child.process, &created, &ended, &kernel, &user) == 0)
    return -1;
  auto count = [](const FILETIME& time) {
    return int64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
  };
  return (count(kernel) + count(user)) / 10;  // 100 ns units
}

}  // namespace platform
