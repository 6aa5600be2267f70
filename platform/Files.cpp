// The file services that every back end shares, written against the back
// end's primitives.
#include "pithorama/platform/Files.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pithorama {

bool OpenWithRetry(TFile& file, const std::string& path, FileAccess access, FileShare share,
                   FileCreate create, int attempts, int pauseMs) {
  using Clock = std::chrono::steady_clock;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (file.Open(path, access, share, create)) return true;
    // Locks are held for a moment only: look again after 0.1 ms, then at
    // doubling intervals up to 2 ms, until the pause is over.
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(pauseMs);
    for (long stepUs = 100; Clock::now() < end; stepUs = std::min(stepUs * 2, 2000L)) {
      const auto rest = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now());
      std::this_thread::sleep_for(std::min(std::chrono::microseconds(stepUs), rest));
      // Only a held lock is worth trying again before the pause is over.
      if (!IsSharingViolation(file.LastError())) continue;
      if (file.Open(path, access, share, create)) return true;
    }
  }
  return false;
}

bool AppendToFile(const std::string& path, std::string_view data, int& errorCode) {
  TFile file;
  bool written = file.OpenAppend(path) && file.AppendWhole(data);
  errorCode = file.LastError();
  if (!file.Close() && written) {
    written = false;
    errorCode = file.LastError();
  }
  return written;
}

}  // namespace pithorama
