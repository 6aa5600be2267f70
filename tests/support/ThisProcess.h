// The test program's own process: its environment, its processor time, where
// it lies, and what the system it runs on offers to tests. One source file
// per system implements these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pithorama::test {

// How many files, sockets and other handles the process holds open now.
std::size_t OpenHandleCount();

// Sets or removes a variable of the process environment, for the code under
// test and for the programs the test starts.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// Processor seconds (user and system) the calling thread has used so far.
double ThreadCpuSeconds();

// The signals that tell a process of the system to end, as std::raise takes
// them: SIGTERM, SIGINT and SIGHUP on POSIX; SIGTERM on Windows, where a
// Ctrl-C or a closed console arrives as a console event instead.
std::vector<int> TerminationSignals();

// Limits the size of the files this process writes while the object lives,
// so that a write stops part way as on a full disk (and fails instead of
// ending the process). Windows has no such limit: Available() is false there
// and the object does nothing.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(uint64_t bytes);
  ~TFileSizeLimit();
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
  static bool Available();

 private:
  uint64_t saved_ = 0;
  void (*previousHandler_)(int) = nullptr;
};

// Whether the test can start the host's own tools by their paths
// (/usr/bin/curl, /usr/bin/python3, /bin/bash): true on Linux; false in the
// Windows build, whose tests run under Wine, where a Linux program started
// from a Windows one hands back neither its output nor its exit code.
bool HostToolsAvailable();

// Whether files carry POSIX mode bits (owner-only files): false on Windows,
// where access follows the folder's access list.
bool FileModesAvailable();

// Whether the local time zone follows the TZ variable (POSIX rules such as
// "CET-1CEST,M3.5.0,M10.5.0/3"): false on Windows, where it comes from the
// system's settings.
bool TimeZoneFollowsTZ();

// The folder that holds the built programs (build/bin).
std::string BinaryDir();
// The file of a built program in that folder ("mkquotes.exe" on Windows).
std::string ProgramFile(const std::string& name);
// The folder that holds the built libraries that programs load (build/lib;
// on Windows the DLLs lie beside the programs in build/bin).
std::string LibraryDir();

}  // namespace pithorama::test
