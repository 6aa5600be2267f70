// A second process for the platform tests, driven by its arguments:
//   hold <file> <held-marker> <release-marker>  holds <file> exclusively until
//                                               <release-marker> exists
//   append <file> <tag> <count> <done-marker>   appends <count> lines to <file>
//   report <file> <argument>...                 writes its arguments and MARK
//   binary                                      writes CR LF bytes to its output
//   title <title> <held-marker> <release-marker> shows a window with <title>
//                                               until <release-marker> exists,
//                                               then ends without taking it down
//   terminate <file> <kept>                     registers both files for
//                                               deletion on termination, withdraws
//                                               <kept>, and raises SIGTERM
// Markers are files, so the tests need no pipes to learn what a probe did.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/WindowTitle.h"

using namespace pithorama;

namespace {

constexpr int kBoundMs = 30000;  // a probe that is never released ends by itself

bool Mark(const std::string& path) {
  int code = 0;
  return AppendToFile(path, "", code);
}

int Hold(const std::string& path, const std::string& held, const std::string& release) {
  TFile file;
  if (!file.Open(path, FileAccess::ReadWrite, FileShare::Exclusive, FileCreate::OpenAlways))
    return 1;
  Mark(held);
  for (int waited = 0; waited < kBoundMs && !FileExists(release); waited += 5) SleepMs(5);
  return 0;
}

int Append(const std::string& path, const std::string& tag, int count, const std::string& done) {
  for (int i = 0; i < count; ++i) {
    const std::string line = tag + " " + std::to_string(i) + " " + std::string(200, 'x') + "\r\n";
    int code = 0;
    if (!AppendToFile(path, line, code)) return 1;
  }
  return Mark(done) ? 0 : 1;
}

int Report(const std::string& path) {
  std::string text = "MARK=" + GetEnvironment("MARK").value_or("<absent>") + "\n";
  for (int i = 3; i <= ParamCount(); ++i) text += "[" + ParamStr(i) + "]\n";
  // Written whole under another name first: the test waits for the final name.
  TFile file;
  std::string temp;
  if (!file.CreateUnique(path + ".", temp) || !file.Write(text) || !file.Close()) return 1;
  return RenameFile(temp, path) ? 0 : 1;
}

int Binary() {
  TFile output = TFile::StandardOutput();
  if (!output.Write("handle\r\n")) return 1;
  // The C runtime's stream as well: programs print through both.
  std::fputs("stream\r\n", stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// The title goes only because the process ends: std::_Exit runs no destructor.
int Title(const std::string& title, const std::string& held, const std::string& release) {
  auto* window = new TWindowTitle;
  if (!window->Set(title)) return 1;
  Mark(held);
  for (int waited = 0; waited < kBoundMs && !FileExists(release); waited += 5) SleepMs(5);
  std::_Exit(0);
}

// Ends through the termination action: returning is the failure.
int Terminate(const std::string& registered, const std::string& kept) {
  SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
  RemoveOnTermination(registered);
  RemoveOnTermination(kept);
  KeepOnTermination(kept);
  std::raise(SIGTERM);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  const std::string command = ParamStr(1);
  if (command == "hold" && argc == 5) return Hold(argv[2], argv[3], argv[4]);
  if (command == "append" && argc == 6)
    return Append(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
  if (command == "report" && argc >= 3) return Report(argv[2]);
  if (command == "binary") return Binary();
  if (command == "title" && argc == 5) return Title(argv[2], argv[3], argv[4]);
  if (command == "terminate" && argc == 4) return Terminate(argv[2], argv[3]);
  std::fprintf(stderr, "platform-probe: unknown command\n");
  return 2;
}
