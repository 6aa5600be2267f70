#include "pithorama/store/logfile.h"

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"

namespace pithorama {

TSharedString LogDir;

namespace {
constexpr int WriteAttempts = 20;
}

std::string AddTrailingChar(char c, std::string_view text) {
  std::string result(text);
  if (result.empty() || result.back() != c) result.push_back(c);
  return result;
}

std::string AddTrailingBackslash(std::string_view text, const PathStyle& style) {
  return AddTrailingChar(style.delimiter, text);
}

bool AppendLogLine(std::string_view line) {
  const std::string path = AddTrailingBackslash(LogDir.Get()) + LogFileName;
  // The whole record goes out in one write to a file opened for appending:
  // another process's line lands before or after it, never inside it, and a
  // write that the disk cuts short is taken back off the file.
  std::string record(line);
  record += "\r\n";
  TFile log;
  if (!log.OpenAppend(path)) return false;
  bool written = false;
  for (int attempt = 0; attempt < WriteAttempts && !written; ++attempt)
    written = log.AppendWhole(record);
  if (!log.Close())
    throw EInOutError(path + ": " + SystemErrorText(log.LastError()), log.LastError());
  return written;
}

void LogFileEnd() { LogDir = ""; }

}  // namespace pithorama
