#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/ChildProcess.h"

namespace pithorama::test {

struct TChildProcess::TState {
  HANDLE Process = nullptr;
  HANDLE Input = nullptr;
  HANDLE Output = nullptr;
  bool Killed = false;
};

namespace {

// One argument as the C runtime of the started program splits it again.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The program's file: the name as given, else with ".exe" (the tests name
// programs as on Linux, without the extension).
std::string ProgramFile(std::string program) {
  std::replace(program.begin(), program.end(), '/', '\\');
  if (!IsFile(program) && IsFile(program + ".exe")) program += ".exe";
  return program;
}

// "NAME=value" strings, each ended by a zero byte, and one more zero byte.
std::string EnvironmentBlock(const std::map<std::string, std::string>& environment) {
  std::map<std::string, std::string> all = environment;
  // TZ as on Linux; SystemRoot, since Windows' own libraries (Winsock among
  // them) need it to start.
  for (const char* keep : {"TZ", "SystemRoot"})
    if (const char* value = std::getenv(keep); value && !all.count(keep)) all[keep] = value;
  std::string block;
  for (const auto& [name, value] : all) block += name + "=" + value + '\0';
  return block + '\0';
}

void CloseHandleOnce(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>* environment,
                             const std::string& workingDir)
    : state_(std::make_unique<TState>()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childInput = nullptr, childOutput = nullptr;
  if (!CreatePipe(&childInput, &state_->Input, &inherit, 0))
    throw std::runtime_error("pipe failed");
  if (!CreatePipe(&state_->Output, &childOutput, &inherit, 0)) {
    CloseHandle(childInput);
    throw std::runtime_error("pipe failed");
  }
  // Our ends stay ours: the program must see the end of its input when we close it.
  SetHandleInformation(state_->Input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(state_->Output, HANDLE_FLAG_INHERIT, 0);

  const std::string file = ProgramFile(program);
  std::string commandLine = Quoted(file);
  for (const std::string& argument : arguments) commandLine += " " + Quoted(argument);
  std::string block;
  if (environment != nullptr) block = EnvironmentBlock(*environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started{};
  const BOOL ok =
      CreateProcessA(file.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                     environment != nullptr ? block.data() : nullptr,
                     workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &started);
  CloseHandle(childInput);
  CloseHandle(childOutput);
  if (!ok) throw std::runtime_error("cannot start " + program);
  CloseHandle(started.hThread);
  state_->Process = started.hProcess;
}

TChildProcess::~TChildProcess() {
  CloseInput();
  CloseHandleOnce(state_->Output);
  if (WaitForSingleObject(state_->Process, 0) != WAIT_OBJECT_0) {
    Kill();
    WaitForSingleObject(state_->Process, 60000);
  }
  CloseHandleOnce(state_->Process);
}

bool TChildProcess::WriteInput(const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1 << 20));
    DWORD n = 0;
    if (!WriteFile(state_->Input, bytes.data() + written, piece, &n, nullptr) || n == 0)
      return false;
    written += n;
  }
  return true;
}

void TChildProcess::CloseInput() { CloseHandleOnce(state_->Input); }

// Anonymous pipes cannot be waited on: look for data every few milliseconds.
TChildProcess::TRead TChildProcess::ReadOutput(std::string& into, int timeoutMs) {
  const ULONGLONG limit = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(state_->Output, nullptr, 0, nullptr, &available, nullptr)) return End;
    if (available > 0) {
      char buffer[65536];
      DWORD n = 0;
      if (!ReadFile(state_->Output, buffer, std::min<DWORD>(available, sizeof buffer), &n,
                    nullptr) ||
          n == 0)
        return End;
      into.append(buffer, n);
      return Data;
    }
    if (GetTickCount64() >= limit) return Timeout;
    Sleep(2);
  }
}

int TChildProcess::Wait(int timeoutMs) {
  if (WaitForSingleObject(state_->Process, static_cast<DWORD>(std::max(timeoutMs, 0))) !=
      WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(state_->Process, &code);
  // Killed, ended by an exception (codes 0xC0000000 and up) or by abort()
  // (the C runtime's code 3): no normal end.
  if (state_->Killed || code >= 0xC0000000u || code == 3) return -1;
  return static_cast<int>(code);
}

void TChildProcess::Kill() {
  if (WaitForSingleObject(state_->Process, 0) == WAIT_OBJECT_0) return;
  state_->Killed = true;
  TerminateProcess(state_->Process, 1);
}

}  // namespace pithorama::test
