#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "tests/support/ThisProcess.h"

namespace pithorama::test {

size_t OpenHandleCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<int> TerminationSignals() { return {SIGTERM, SIGINT, SIGHUP}; }

TFileSizeLimit::TFileSizeLimit(uint64_t bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  saved_ = limit.rlim_cur;
  previousHandler_ = signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending us
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

TFileSizeLimit::~TFileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = saved_;
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, previousHandler_);
}

bool TFileSizeLimit::Available() { return true; }

bool HostToolsAvailable() { return true; }
bool FileModesAvailable() { return true; }
bool TimeZoneFollowsTZ() { return true; }

std::string BinaryDir() {
#ifdef PITHORAMA_BINARY_DIR
  return PITHORAMA_BINARY_DIR;
#else
  return "build/bin";
#endif
}

std::string ProgramFile(const std::string& name) { return BinaryDir() + "/" + name; }

std::string LibraryDir() {
#ifdef PITHORAMA_LIBRARY_DIR
  return PITHORAMA_LIBRARY_DIR;
#else
  return "build/lib";
#endif
}

}  // namespace pithorama::test
