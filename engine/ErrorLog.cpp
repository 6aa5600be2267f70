#include "pithorama/engine/ErrorLog.h"

#include "pithorama/engine/HttpEng.h"
#include "pithorama/engine/HttpText.h"
#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

namespace {

// The longest message of one error-log line, counted after escaping.
constexpr size_t kMaxLogMessage = 2048;

// A relative "CGI_LOG_DIR" counts from the module's folder: the log file's
// name is built from there, so the folder is made there too.
std::string ErrorLogFolder() {
  const std::string moduleFolder = ExtractFilePath(ModuleFileName());
  std::string folder = GetEnvVar("CGI_LOG_DIR");
  if (folder.empty())
    folder = moduleFolder + "Log";
  else if (!HostPathStyle().isAbsolute(folder))
    folder = moduleFolder + folder;
  if (!FileExists(folder) && !DirectoryExists(folder) && !CreateDir(folder)) folder = moduleFolder;
  return folder;
}

// Messages carry request text: control characters are written as escapes
// (\r, \n, \t, \xHH), so that one entry stays one line, and the message is
// cut after kMaxLogMessage bytes, marked by "[...]".
std::string EscapeLogText(std::string_view message) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : message) {
    if (text.size() >= kMaxLogMessage) return text + "[...]";
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F)
      text.push_back(c);
    else if (c == '\r')
      text += "\\r";
    else if (c == '\n')
      text += "\\n";
    else if (c == '\t')
      text += "\\t";
    else
      text.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 15]);
  }
  return text;
}

}  // namespace

void WriteErrorLog(std::string_view message) {
  try {
    const std::string module = ModuleFileName();
    const std::string path =
        BuildFileName(module, ErrorLogFolder(), false, ExtractFileName(module), false, "Log");
    const TDateTime now = Now();
    std::string line = FormatShortDate(now) + " " + FormatLongTime(now) + ",  " +
                       std::to_string(RequestState().RequestNumber) + " : ";
    line.append(EscapeLogText(message)).append("\r\n");
    // One append of the whole line: entries of processes that log at once stay whole.
    int errorCode = 0;
    AppendToFile(path, line, errorCode);
  } catch (...) {
    // Logging never raises.
  }
}

}  // namespace pithorama
